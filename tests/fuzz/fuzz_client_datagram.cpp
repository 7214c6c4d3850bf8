// Fuzz target: the client's handling of one received datagram
// (cClientMode::onDatagram), the n-th datagram arriving at second n.
//
// Input: a header (flags, identifier, keepalive) and then datagrams, each
// from a sender derived from its selector byte: mostly the broker itself,
// otherwise an endpoint that differs from it in port, address or family.
// The identifier is stored in the identifier file that the client reads as
// it starts. Flag bit 0 starts the tunnel already established (it took the
// example offer), which is how data and keepalive datagrams are reached:
// taking an offer through onDatagram ends with giving the address to a TUN
// device that has no name here, the run's end (-1), and so the input's end.
//
// Stand-ins: an in-memory packet host keeps what the client writes to its
// TUN device and sends; the identifier file is a temporary file.
//
// Invariants, after every datagram: a datagram not from the broker, a
// failed read, and before the offer a message of no known type change
// nothing (tunnel, shared prefix, identifier file) and cause no write or
// send; after the offer, a datagram from the broker changes nothing but the
// last activity (its time, with a keepalive), and reaches the TUN device
// whole and alone unless it is keepalive-sized; before the offer, an offer
// is answered with one accept, a request with one offer describing the
// tunnel; an offer or an accept establishes the tunnel (with the offer's
// values), stores its identifier and ends the run; no datagram is handled
// after the run's end.
#include "cFuzzInput.h"
#include "fuzzSupport.h"

#include "client/cClientMode.h"
#include "client/cClientRunHost.h"
#include "log/monotonicClock.h"
#include "main/cBroker.h"
#include "memoryPacketHost.h"
#include "setupMessages.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"
#include "packet/frame.h"
#include "tunnel/tunnelTable.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int kMaxDatagrams = 64;

// They live as long as the process, as the daemon's cBroker does.
cMemoryPacketHost* gPackets = nullptr;
cClientRunHost* gHost = nullptr;
sockaddr_in gBrokerEndpoint;
std::string gTunIdFile;

// What a datagram may change, the last activity aside.
std::string snapshot(const cTunnel& t)
{
    std::ostringstream s;
    s << t.getState() << ' ' << t.getId() << ' ' << t.getKeepalive() << ' '
      << unsigned(gIp6PrefixLen) << ' ';
    s.write(reinterpret_cast<const char*>(t.getAddr()), sizeof(in6_addr));
    s.write(reinterpret_cast<const char*>(&gIp6Prefix), sizeof gIp6Prefix);
    return s.str();
}

// What the client sent since the last call, every datagram to the broker.
std::vector<std::string> sentToBroker()
{
    std::vector<std::string> sent;
    for (const cMemoryPacketHost::sDatagram& d : gPackets->takeDatagrams()) {
        fuzzCheck(sameEndpoint(d.to, gBrokerEndpoint) && d.local.s_addr == INADDR_ANY,
                  "a datagram went elsewhere than to the broker");
        sent.push_back(d.bytes);
    }
    return sent;
}

std::string readTunIdFile()
{
    std::ostringstream content;
    content << std::ifstream(gTunIdFile).rdbuf();
    return content.str();
}

// Mostly the broker; otherwise one field differs (or an endpoint elsewhere,
// which is only compared, never sent to).
sockaddr_in senderFor(uint8_t selector)
{
    sockaddr_in from = gBrokerEndpoint;
    if ((selector & 7) == 4)
        from.sin_port = htons(static_cast<uint16_t>(ntohs(from.sin_port) + 1));
    else if ((selector & 7) == 5)
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    else if ((selector & 7) == 6)
        from.sin_family = AF_UNSPEC;
    else if ((selector & 7) == 7)
        inet_pton(AF_INET, "192.0.2.1", &from.sin_addr);
    return from;
}

// Returns false when the run has ended.
bool handleDatagram(cClientMode& client, const sFuzzDatagram& d, long long now,
                    std::string& tunIdText)
{
    sockaddr_in from = senderFor(d.selector);
    bool fromBroker = (d.selector & 7) < 4;
    // Exactly the datagram's bytes (none for a failed read, which must not
    // be looked at), so that reading past n is caught.
    int n = d.failedRead ? -1 : static_cast<int>(d.bytes.size());
    std::unique_ptr<char[]> buffer = exactCopy(d.bytes.data(), d.bytes.size());

    cTunnel& t = client.tunnel();
    const std::string before = snapshot(t);
    const bool established = t.isEstablished();
    const unsigned id = t.getId();
    const long long activity = t.getLastActivity();
    int result = client.onDatagram(buffer.get(), n, from, now);
    fuzzCheck(result == cClientMode::CLIENT_CONTINUE || result == -1, "an unknown result");

    bool heard = fromBroker && !d.failedRead;
    bool setup = heard && !established;
    bool touched = heard && established && t.getKeepalive() != 0;
    fuzzCheck(t.getLastActivity() == (touched ? now : activity),
              "the last activity is not that of the broker's last datagram");
    // The message as the client read it, parsed from a copy (parsing changes it).
    std::vector<char> copy(d.bytes);
    cTSPMsg said(copy.data(), setup ? n : 0);
    int type = setup ? said.getType() : TSP_UNKNOWN;
    if (type != TSP_REQUEST && type != TSP_OFFER && type != TSP_ACCEPT) {
        fuzzCheck(result == cClientMode::CLIENT_CONTINUE, "a datagram ended the run");
        fuzzCheck(snapshot(t) == before, "a datagram changed the tunnel");
        std::vector<std::string> relayed;
        if (heard && established && n > kKeepaliveMax)
            relayed.emplace_back(d.bytes.begin(), d.bytes.end());
        fuzzCheck(gPackets->takeFrames() == relayed, "the TUN device did not get the data alone");
        fuzzCheck(sentToBroker().empty(), "a datagram was answered");
        return true;
    }
    // The setup exchange.
    fuzzCheck(gPackets->takeFrames().empty(), "a setup datagram reached the TUN device");
    std::vector<std::string> sent = sentToBroker();
    if (type == TSP_REQUEST) {
        fuzzCheck(sent.size() == 1 && sent[0].size() <= kLongestOffer,
                  "a request was not answered with one offer");
        cTSPMsg offer(&sent[0][0], static_cast<int>(sent[0].size()));
        fuzzCheck(offer.getType() == TSP_OFFER && offer.getTunnelId() == t.getId()
                      && sameIp6(offer.getAddr(), t.getAddr()),
                  "the offer does not describe the tunnel");
        fuzzCheck(t.getState() == TUNNEL_OFFERED, "a request left the tunnel not offered");
        fuzzCheck(result == cClientMode::CLIENT_CONTINUE, "a request ended the run");
        return true;
    }
    if (type == TSP_OFFER) {
        // Our client's accept names what it took and repeats its key.
        std::string accept = tspBytes({"accept", "tunnelid=" + std::to_string(t.getId()),
                                       "keepalive=" + std::to_string(t.getKeepalive()),
                                       "tunnelkey=" + t.getKey()});
        fuzzCheck(sent == std::vector<std::string>{accept},
                  "an offer was not answered with one accept");
        fuzzCheck(t.getId() == said.getTunnelId() && t.getKeepalive() == said.getKeepalive()
                      && sameIp6(t.getAddr(), said.getAddr()),
                  "the tunnel did not take the offer's identifier, keepalive and address");
        fuzzCheck(sameIp6(&gIp6Prefix, said.getPrefix()) && gIp6PrefixLen == (said.getPrefixLen() & 0xff),
                  "the prefix, or the low 8 bits of its length, not taken from the offer");
    } else {
        fuzzCheck(sent.empty(), "an accept was answered");
        fuzzCheck(t.getId() == id, "an accept changed the identifier");
    }
    fuzzCheck(t.isEstablished(), "an offer or accept did not establish the tunnel");
    fuzzCheck(result == -1, "configuring a nameless TUN device did not end the run");
    tunIdText = std::to_string(t.getId());
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    initializeFuzzing(FUZZ_LOGS_QUIET);
    // scripts/fuzz points TMPDIR at the run's scratch directory, so a file
    // left behind by a crash goes with it.
    const char* dir = std::getenv("TMPDIR");
    gTunIdFile = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/quibd-tunid-XXXXXX";
    int fd = mkstemp(&gTunIdFile[0]);
    fuzzCheck(fd >= 0, "no identifier file");
    close(fd);
    std::atexit([] { unlink(gTunIdFile.c_str()); });

    // The settings are the defaults (keepalive 30, no default route) and the
    // TUN device has no name.
    cBroker* client = new cBroker();
    client->useTunnelIdPath(gTunIdFile);
    gPackets = new cMemoryPacketHost();
    gHost = new cClientRunHost(*client);
    gHost->usePackets(*gPackets);
    gBrokerEndpoint = sockaddr_in{AF_INET, htons(3653), {htonl(INADDR_LOOPBACK)}, {}};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    cFuzzInput in(data, size);
    uint8_t flags = in.byte();
    unsigned id = in.byte();
    unsigned keepalive = in.byte();
    setSharedPrefix(in6_addr{}, 64);
    setSharedKeepalive(0);
    gPackets->takeFrames();
    gPackets->takeDatagrams();
    std::string tunIdText = std::to_string(id);
    std::ofstream(gTunIdFile, std::ios::trunc) << tunIdText;

    cClientMode client(*gHost, gBrokerEndpoint, 0);
    fuzzCheck(client.tunnel().getId() == id, "the stored identifier was not taken");
    client.tunnel().setKeepalive(keepalive);
    if (flags & 1) {
        std::string offer = exampleOffer();
        delete client.tunnel().handleMsg(&offer[0], static_cast<int>(offer.size()));
        fuzzCheck(client.tunnel().isEstablished(), "the example offer did not establish it");
    }
    sFuzzDatagram d;
    for (int i = 0; i < kMaxDatagrams && in.nextDatagram(d); ++i) {
        bool goesOn = handleDatagram(client, d, i * kNanosPerSecond, tunIdText);
        fuzzCheck(readTunIdFile() == tunIdText, "the identifier file holds something else");
        if (!goesOn)
            break;
    }
    return 0;
}
