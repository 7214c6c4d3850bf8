// Fuzz target: the client's handling of one received datagram
// (cBroker::handleClientDatagram) on the client's own tunnel.
//
// Input: a header (flags, identifier, keepalive) and then datagrams, each
// from a sender derived from its selector byte: mostly the broker itself,
// otherwise an endpoint that differs from it in port, address or family.
// Flag bit 0 starts the tunnel already established (it took an offer),
// which is how data and keepalive datagrams are reached: taking an offer
// through the handler ends with configuring a TUN device that does not exist
// here, the run's end (-1), and so the input's end.
//
// Stand-ins: the TUN descriptor is one end of a datagram socket pair, so
// every write can be read back whole; the UDP socket is a loopback socket
// and the broker endpoint a loopback socket of the target's own, which
// receives what the client sends. Nothing leaves the machine.
//
// Invariants, after every datagram: a datagram not from the broker changes
// nothing (tunnel, shared prefix, identifier file) and causes no write or
// send; a data datagram from the broker reaches the TUN stand-in whole and
// alone; a keepalive-sized one reaches nothing; before the offer, only an
// offer is answered with an accept (a request, with an offer) and
// establishes the tunnel with the offer's values, stores its identifier in
// the file and ends the run; no datagram is handled after the run's end.
#include "cFuzzInput.h"
#include "fuzzSupport.h"

#include "config/cConfig.h"
#include "main/cBroker.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int kMaxDatagrams = 64;
const int kKeepaliveMax = 4;
const int kLongestOffer = 162;
// Loopback delivery is immediate; this only bounds the wait for a reply
// that is due.
const int kReplyWaitMs = 1000;

// The worked example's offer: identifier 7, keepalive 30, 2001:db8::/64,
// address 2001:db8::7.
const char kOffer[] = "offer\0tunnelid=7\0ip6prefix=2001:db8::\0ip6prefixlen=64\0"
                      "ip6addr=2001:db8::7\0keepalive=30";

const char kAbsentTun[] = "qfz-absent0";

cBroker* gClient = nullptr;
int gTunReader = -1;   // reads what the client writes to its TUN descriptor
int gBrokerSocket = -1; // receives what the client sends to the broker
sockaddr_in gBrokerEndpoint;
std::string gTunIdFile;

struct sSnapshot {
    int state;
    unsigned id;
    unsigned keepalive;
    long long lastActivity;
    in6_addr addr;
    in6_addr prefix;
    uint8_t prefixLen;
};

sSnapshot snapshot(const cTunnel& t)
{
    sSnapshot s;
    s.state = t.getState();
    s.id = t.getId();
    s.keepalive = t.getKeepalive();
    s.lastActivity = t.getLastActivity();
    std::memcpy(&s.addr, t.getAddr(), sizeof s.addr);
    s.prefix = gIp6Prefix;
    s.prefixLen = gIp6PrefixLen;
    return s;
}

bool sameSnapshot(const sSnapshot& a, const sSnapshot& b)
{
    return a.state == b.state && a.id == b.id && a.keepalive == b.keepalive
        && a.lastActivity == b.lastActivity && std::memcmp(&a.addr, &b.addr, sizeof a.addr) == 0
        && std::memcmp(&a.prefix, &b.prefix, sizeof a.prefix) == 0 && a.prefixLen == b.prefixLen;
}

// Everything waiting on a descriptor, one entry per datagram.
std::vector<std::string> drain(int fd)
{
    std::vector<std::string> got;
    char buffer[4096];
    for (int i = 0; i < 256; ++i) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            break;
        got.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::vector<std::string> awaitReply()
{
    pollfd p = {gBrokerSocket, POLLIN, 0};
    poll(&p, 1, kReplyWaitMs);
    return drain(gBrokerSocket);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

int boundLoopbackSocket(sockaddr_in& address)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        std::perror("fuzz_client_datagram: loopback socket");
        std::exit(1);
    }
    return fd;
}

std::string makeTempFile(const char* pattern, const std::string& text)
{
    // scripts/fuzz points TMPDIR at the run's scratch directory, so a file
    // left behind by a crash goes with it.
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + pattern;
    int fd = mkstemp(&path[0]);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        std::perror("fuzz_client_datagram: temporary file");
        std::exit(1);
    }
    close(fd);
    return path;
}

void removeTunIdFile()
{
    unlink(gTunIdFile.c_str());
}

void setUpClient()
{
    std::string config = makeTempFile("quibd-fuzz-conf-XXXXXX",
                                      "quib.client.keepalive = 30\nquib.route.default = 0\n");
    bool loaded = cConfig::load(config.c_str());
    unlink(config.c_str());
    if (!loaded)
        std::exit(1);
    gTunIdFile = makeTempFile("quibd-fuzz-tunid-XXXXXX", "");
    gTunIdPath = gTunIdFile;
    std::atexit(removeTunIdFile);

    // Lives as long as the process, as the daemon's one cBroker does.
    gClient = new cBroker();
    int tun[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, tun) != 0) {
        std::perror("fuzz_client_datagram: socketpair");
        std::exit(1);
    }
    gClient->mTunFd = tun[0];
    // Taking an offer ends in configuring this interface, which must not
    // exist: the step fails before it changes anything on the machine.
    gClient->mTunName = kAbsentTun;
    if (if_nametoindex(kAbsentTun) != 0) {
        std::fprintf(stderr, "fuzz_client_datagram: interface %s exists\n", kAbsentTun);
        std::exit(1);
    }
    gTunReader = tun[1];
    sockaddr_in own;
    gClient->mUdpSocket = boundLoopbackSocket(own);
    gBrokerSocket = boundLoopbackSocket(gBrokerEndpoint);
}

// Mostly the broker; otherwise one field differs (or an endpoint elsewhere,
// which is only compared, never sent to).
sockaddr_in senderFor(uint8_t selector)
{
    sockaddr_in from = gBrokerEndpoint;
    switch (selector & 7) {
    case 4:
        from.sin_port = htons(static_cast<uint16_t>(ntohs(from.sin_port) + 1));
        break;
    case 5:
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
        break;
    case 6:
        from.sin_family = AF_UNSPEC;
        break;
    case 7:
        inet_pton(AF_INET, "192.0.2.1", &from.sin_addr);
        break;
    default:
        break;
    }
    return from;
}

bool isBroker(const sockaddr_in& from)
{
    return from.sin_family == AF_INET && from.sin_port == gBrokerEndpoint.sin_port
        && from.sin_addr.s_addr == gBrokerEndpoint.sin_addr.s_addr;
}

struct sRun {
    std::unique_ptr<cTunnel> tunnel;
    std::string tunIdText; // what the identifier file must hold
};

void expectNothingOut(const char* why)
{
    std::vector<std::string> written = drain(gTunReader);
    if (!written.empty())
        fuzzFail(std::string(why) + ": " + std::to_string(written.size())
                 + " datagrams written to the TUN device");
    std::vector<std::string> sent = drain(gBrokerSocket);
    if (!sent.empty())
        fuzzFail(std::string(why) + ": " + std::to_string(sent.size())
                 + " datagrams sent to the broker");
}

void checkEstablishedDatagram(const sFuzzDatagram& d, int result, const sSnapshot& before,
                              const cTunnel& t)
{
    fuzzCheck(result == cBroker::CLIENT_CONTINUE, "established relay ended the run");
    fuzzCheck(t.getState() == TUNNEL_ESTABLISHED && t.getId() == before.id
                  && std::memcmp(t.getAddr(), &before.addr, sizeof before.addr) == 0,
              "a datagram after the offer changed the tunnel");
    int n = static_cast<int>(d.bytes.size());
    if (d.failedRead || n <= kKeepaliveMax) {
        expectNothingOut(d.failedRead ? "failed read" : "keepalive reply");
        return;
    }
    std::vector<std::string> written = drain(gTunReader);
    fuzzCheck(written.size() == 1, "a data datagram is not one TUN write");
    fuzzCheck(written[0] == std::string(d.bytes.begin(), d.bytes.end()),
              "the TUN device got other bytes than the datagram");
    fuzzCheck(drain(gBrokerSocket).empty(), "a data datagram was answered");
}

// An offer's values as the tunnel and the shared prefix must now hold them.
void checkTookOffer(const cTSPMsg& offer, const cTunnel& t)
{
    fuzzCheck(t.getId() == offer.getTunnelId(), "identifier not taken from the offer");
    fuzzCheck(t.getKeepalive() == offer.getKeepalive(), "keepalive not taken from the offer");
    fuzzCheck(std::memcmp(t.getAddr(), offer.getAddr(), sizeof(in6_addr)) == 0,
              "address not taken from the offer");
    fuzzCheck(std::memcmp(&gIp6Prefix, offer.getPrefix(), sizeof(in6_addr)) == 0,
              "prefix not taken from the offer");
    fuzzCheck(gIp6PrefixLen == (offer.getPrefixLen() & 0xff), "prefix length not the low 8 bits");
}

// Before the offer: returns false when the run has ended.
bool checkSetupDatagram(const sFuzzDatagram& d, int result, const sSnapshot& before,
                        sRun& run)
{
    const cTunnel& t = *run.tunnel;
    if (d.failedRead) {
        fuzzCheck(result == cBroker::CLIENT_CONTINUE, "a failed read ended the run");
        fuzzCheck(sameSnapshot(before, snapshot(t)), "a failed read changed the tunnel");
        expectNothingOut("failed read");
        return true;
    }
    std::vector<char> copy(d.bytes);
    cTSPMsg said(copy.data(), static_cast<int>(copy.size()));
    fuzzCheck(drain(gTunReader).empty(), "a setup datagram reached the TUN device");
    switch (said.getType()) {
    case TSP_OFFER: {
        std::vector<std::string> sent = awaitReply();
        fuzzCheck(sent.size() == 1 && sent[0] == std::string("accept", 7),
                  "an offer was not answered with one accept");
        fuzzCheck(t.isEstablished(), "an offer did not establish the tunnel");
        checkTookOffer(said, t);
        fuzzCheck(result == -1, "configuring a missing TUN device did not end the run");
        run.tunIdText = std::to_string(t.getId());
        return false;
    }
    case TSP_ACCEPT:
        fuzzCheck(drain(gBrokerSocket).empty(), "an accept was answered");
        fuzzCheck(t.isEstablished(), "an accept did not establish the tunnel");
        fuzzCheck(t.getId() == before.id, "an accept changed the identifier");
        fuzzCheck(result == -1, "configuring a missing TUN device did not end the run");
        run.tunIdText = std::to_string(t.getId());
        return false;
    case TSP_REQUEST: {
        std::vector<std::string> sent = awaitReply();
        fuzzCheck(sent.size() == 1 && static_cast<int>(sent[0].size()) <= kLongestOffer,
                  "a request was not answered with one offer");
        cTSPMsg offer(&sent[0][0], static_cast<int>(sent[0].size()));
        fuzzCheck(offer.getType() == TSP_OFFER && offer.getTunnelId() == t.getId()
                      && std::memcmp(offer.getAddr(), t.getAddr(), sizeof(in6_addr)) == 0,
                  "the offer does not describe the tunnel");
        fuzzCheck(t.getState() == TUNNEL_OFFERED, "a request left the tunnel not offered");
        fuzzCheck(result == cBroker::CLIENT_CONTINUE, "a request ended the run");
        return true;
    }
    default:
        fuzzCheck(drain(gBrokerSocket).empty(), "a message of no known type was answered");
        fuzzCheck(sameSnapshot(before, snapshot(t)), "a message of no known type changed the tunnel");
        fuzzCheck(result == cBroker::CLIENT_CONTINUE, "a message of no known type ended the run");
        return true;
    }
}

// Returns false when the run has ended.
bool handleDatagram(const sFuzzDatagram& d, sRun& run)
{
    sockaddr_in from = senderFor(d.selector);
    int n = d.failedRead ? -1 : static_cast<int>(d.bytes.size());
    // Exactly the datagram's bytes (one byte for a failed read, which must
    // not be looked at), so that reading past n is caught.
    std::size_t size = d.failedRead ? 1 : d.bytes.size();
    std::unique_ptr<char[]> buffer(new char[size]);
    if (!d.failedRead && size > 0)
        std::memcpy(buffer.get(), d.bytes.data(), size);

    cTunnel& t = *run.tunnel;
    sSnapshot before = snapshot(t);
    int result = gClient->handleClientDatagram(t, buffer.get(), n, from, gBrokerEndpoint);
    if (result != cBroker::CLIENT_CONTINUE && result != -1)
        fuzzFail("a datagram gave the result " + std::to_string(result));

    bool goesOn = true;
    if (!isBroker(from)) {
        fuzzCheck(result == cBroker::CLIENT_CONTINUE, "a stranger's datagram ended the run");
        fuzzCheck(sameSnapshot(before, snapshot(t)), "a stranger's datagram changed the tunnel");
        expectNothingOut("stranger's datagram");
    } else if (before.state == TUNNEL_ESTABLISHED) {
        checkEstablishedDatagram(d, result, before, t);
    } else {
        goesOn = checkSetupDatagram(d, result, before, run);
    }
    fuzzCheck(readFile(gTunIdFile) == run.tunIdText, "the identifier file holds something else");
    return goesOn;
}

void startRun(cFuzzInput& in, sRun& run)
{
    uint8_t flags = in.byte();
    unsigned id = in.byte();
    unsigned keepalive = in.byte();
    gIp6Prefix = in6_addr{};
    gIp6PrefixLen = 64;
    gKeepalive = 0;
    drain(gTunReader);
    drain(gBrokerSocket);
    std::ofstream(gTunIdFile, std::ios::trunc).close();
    run.tunIdText.clear();

    run.tunnel.reset(new cTunnel());
    run.tunnel->setId(id);
    run.tunnel->setKeepalive(keepalive);
    if (flags & 1) {
        // A client whose setup is done: the tunnel took the broker's offer.
        std::vector<char> offer(kOffer, kOffer + sizeof kOffer);
        delete run.tunnel->handleMsg(offer.data(), static_cast<int>(offer.size()));
        fuzzCheck(run.tunnel->isEstablished(), "the example offer did not establish the tunnel");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    keepReportChannel();
    quietLogs();
    setUpClient();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    cFuzzInput in(data, size);
    sRun run;
    startRun(in, run);
    sFuzzDatagram d;
    for (int i = 0; i < kMaxDatagrams && in.nextDatagram(d); ++i) {
        if (!handleDatagram(d, run))
            break;
    }
    return 0;
}
