// Flood sender for the end-to-end flood scenario. Run inside the scenario's
// own network namespace, it does three things in order:
//   1. "completers": a few real UDP sockets each run the whole setup exchange
//      (request, then accept) with the broker, and prove it by a keepalive
//      that the broker echoes;
//   2. the burst: many datagrams from forged source endpoints through a raw
//      IPv4 socket (the IP and UDP headers are written here), mixing garbage
//      of random lengths, requests, bare accepts, offers and keepalive-sized
//      datagrams, paced to a given rate;
//   3. after a pause, the completers' keepalives again: the broker must still
//      echo every one of them.
// Requests are only forged from even ports and accepts only from odd ports,
// so no forged endpoint ever completes the exchange: the completers are the
// only endpoints the broker must keep. "floodSender churn ..." instead runs
// scripted clients that come, go and restart (see runChurn). Results are
// printed as "name value" lines for the scenario script.
#include "setupMessages.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

struct sOptions {
    std::string broker = "";
    int port = 3653;
    std::string completerAddr = "";
    int completerPort = 40000;
    int completers = 0;
    std::string spoofAddr = "";
    int spoofCount = 1;
    long count = 0;
    long rate = 0; // datagrams per second; 0: as fast as the socket takes them
    unsigned long seed = 1;
    int settle = 2; // seconds between the burst and the final check
    // Endpoints (address:port) whose derived tunnel identifier no forged
    // request may carry: a request with another endpoint's identifier
    // removes that endpoint's tunnel as stale.
    std::vector<std::string> protect;
};

void usage()
{
    std::fprintf(stderr,
                 "usage: floodSender broker=IP [port=N] completer-addr=IP completers=N\n"
                 "       [completer-port=N] spoof-addr=IP [spoof-count=N] count=N\n"
                 "       [rate=N] [seed=N] [settle=S] [protect=IP:PORT]...\n");
}

// "key=value" split at its first "="; false without one.
bool splitOption(const char* arg, std::string& key, std::string& value)
{
    std::string text = arg;
    std::size_t eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    key = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

// Numeric options by name, each stored with its own field's type.
class cNumberFields {
public:
    template <class T>
    cNumberFields& add(const char* key, T& field)
    {
        mSetters.emplace_back(key, [&field](long long v) { field = static_cast<T>(v); });
        return *this;
    }
    // False when no field has that name.
    bool set(const std::string& key, long long value) const
    {
        for (const auto& setter : mSetters) {
            if (key == setter.first) {
                setter.second(value);
                return true;
            }
        }
        return false;
    }

private:
    std::vector<std::pair<const char*, std::function<void(long long)>>> mSetters;
};

bool parseOptions(int argc, char** argv, sOptions& o)
{
    cNumberFields numbers;
    numbers.add("port", o.port).add("completer-port", o.completerPort);
    numbers.add("completers", o.completers).add("spoof-count", o.spoofCount);
    numbers.add("count", o.count).add("rate", o.rate).add("seed", o.seed).add("settle", o.settle);
    for (int i = 1; i < argc; ++i) {
        std::string key, value;
        if (!splitOption(argv[i], key, value))
            return false;
        char* end = nullptr;
        long long number = std::strtoll(value.c_str(), &end, 10);
        bool numeric = !value.empty() && *end == '\0' && number >= 0;
        if (key == "broker")
            o.broker = value;
        else if (key == "completer-addr")
            o.completerAddr = value;
        else if (key == "spoof-addr")
            o.spoofAddr = value;
        else if (key == "protect")
            o.protect.push_back(value);
        else if (!numeric || !numbers.set(key, number))
            return false;
    }
    return !o.broker.empty() && !o.completerAddr.empty() && !o.spoofAddr.empty()
        && o.spoofCount >= 1 && o.spoofCount <= 250 && o.port > 0 && o.port < 65536
        && o.completerPort > 0 && o.completerPort + o.completers < 65536;
}

// xorshift64*: fast and good enough to pick kinds, lengths and endpoints.
class cRandom {
public:
    explicit cRandom(unsigned long seed) : mState(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    uint64_t next()
    {
        mState ^= mState >> 12;
        mState ^= mState << 25;
        mState ^= mState >> 27;
        return mState * 0x2545F4914F6CDD1DULL;
    }
    // Uniform enough in [0, n) for n far below 2^32.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }

private:
    uint64_t mState;
};

double wallSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double monoSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool toAddr(const std::string& text, in_addr& addr)
{
    return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

// ---------------------------------------------------------------- completers

const auto& kKeepalive = kIp6PacketInfo;

struct sCompleter {
    int fd;
    uint16_t port;
};

bool openCompleters(const sOptions& o, std::vector<sCompleter>& out)
{
    in_addr local;
    if (!toAddr(o.completerAddr, local))
        return false;
    for (int i = 0; i < o.completers; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            std::perror("socket");
            return false;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr = local;
        a.sin_port = htons(static_cast<uint16_t>(o.completerPort + i));
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0) {
            std::perror("bind");
            close(fd);
            return false;
        }
        out.push_back(sCompleter{fd, a.sin_port});
    }
    return true;
}

void sendTo(int fd, const void* data, std::size_t len, const sockaddr_in& to)
{
    if (sendto(fd, data, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) < 0)
        std::perror("sendto");
}

void runExchanges(const std::vector<sCompleter>& completers, const sockaddr_in& broker)
{
    const std::string request = tspBytes({"request", "tunnelid=0", "keepalive=30"});
    const std::string accept = tspBytes({"accept"});
    for (const sCompleter& c : completers) {
        sendTo(c.fd, request.data(), request.size(), broker);
        sendTo(c.fd, accept.data(), accept.size(), broker);
    }
}

// True when fd has received a keepalive echo. Everything queued is read:
// other datagrams (offers, and the frames the broker sends to every
// established tunnel) are ignored, and must not fill the socket's buffer.
bool readEcho(int fd)
{
    unsigned char buf[4096];
    bool echoed = false;
    for (int i = 0; i < 100000; ++i) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0)
            break;
        if (n == sizeof(kKeepalive) && std::memcmp(buf, kKeepalive, sizeof(kKeepalive)) == 0)
            echoed = true;
    }
    return echoed;
}

// Each completer sends a keepalive and waits for the echo; up to three
// rounds of one second, so a lost datagram on a quiet broker is forgiven.
int countEchoes(const std::vector<sCompleter>& completers, const sockaddr_in& broker)
{
    std::vector<bool> echoed(completers.size(), false);
    int count = 0;
    for (int round = 0; round < 3 && count < static_cast<int>(completers.size()); ++round) {
        for (std::size_t i = 0; i < completers.size(); ++i) {
            readEcho(completers[i].fd); // stale datagrams from earlier
            if (!echoed[i])
                sendTo(completers[i].fd, kKeepalive, sizeof(kKeepalive), broker);
        }
        const double deadline = monoSeconds() + 1.0;
        while (count < static_cast<int>(completers.size()) && monoSeconds() < deadline) {
            std::vector<pollfd> fds;
            for (const sCompleter& c : completers)
                fds.push_back(pollfd{c.fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) != 0 && readEcho(completers[i].fd) && !echoed[i]) {
                    echoed[i] = true;
                    ++count;
                }
            }
        }
    }
    return count;
}

// ---------------------------------------------------------------- the burst

enum eKind { KIND_GARBAGE, KIND_REQUEST, KIND_ACCEPT, KIND_OFFER, KIND_KEEPALIVE, KIND_COUNT };
const char* const kKindNames[KIND_COUNT] = {"garbage", "request", "accept", "offer", "keepalive"};
// Out of 100.
const int kKindShare[KIND_COUNT] = {40, 20, 15, 10, 15};

const int kMaxPayload = 2048;
const int kLowPort = 1024;
const int kSharedIds = 64;

eKind pickKind(cRandom& rnd)
{
    int r = static_cast<int>(rnd.below(100));
    for (int k = 0; k < KIND_COUNT; ++k) {
        if (r < kKindShare[k])
            return static_cast<eKind>(k);
        r -= kKindShare[k];
    }
    return KIND_GARBAGE;
}

struct sBurst {
    int fd;
    sockaddr_in dst;
    uint32_t spoofBase; // host order
    int spoofCount;
    std::set<uint32_t> protectedIds;
    std::vector<uint32_t> sharedIds;
    std::vector<unsigned char> pool; // random bytes that garbage is cut from
    std::vector<unsigned char> seen; // one bit per forged endpoint used
    long sent[KIND_COUNT] = {};
    long failed = 0;
    long distinct = 0;
};

// Forged source: one of the spoofed addresses and a port from 1024 up;
// requests take even ports and accepts odd ones.
void pickSource(sBurst& b, cRandom& rnd, eKind kind, uint32_t& addrHost, uint16_t& port)
{
    uint32_t index = rnd.below(static_cast<uint32_t>(b.spoofCount));
    addrHost = b.spoofBase + index;
    uint32_t p = kLowPort + rnd.below(65536 - kLowPort);
    if (kind == KIND_REQUEST)
        p &= ~1u;
    else if (kind == KIND_ACCEPT)
        p |= 1u;
    port = static_cast<uint16_t>(p);
    std::size_t bit = static_cast<std::size_t>(index) * 65536 + p;
    if ((b.seen[bit / 8] & (1u << (bit % 8))) == 0) {
        b.seen[bit / 8] |= static_cast<unsigned char>(1u << (bit % 8));
        ++b.distinct;
    }
}

// A random identifier that is neither 0 nor a protected endpoint's.
uint32_t forgedId(sBurst& b, cRandom& rnd)
{
    uint32_t id;
    do
        id = static_cast<uint32_t>(rnd.next());
    while (id == 0 || b.protectedIds.count(id) != 0);
    return id;
}

std::string requestPayload(sBurst& b, cRandom& rnd)
{
    // Half ask without an identifier; a quarter come back with a random one;
    // a quarter share a few identifiers, so one forged endpoint's request
    // removes another's tunnel as stale.
    uint32_t r = rnd.below(4);
    if (r < 2)
        return tspBytes({"request", "tunnelid=0", "keepalive=" + std::to_string(rnd.below(120))});
    if (b.sharedIds.empty()) {
        for (int i = 0; i < kSharedIds; ++i)
            b.sharedIds.push_back(forgedId(b, rnd));
    }
    uint32_t id = r == 2 ? forgedId(b, rnd) : b.sharedIds[rnd.below(kSharedIds)];
    return tspBytes({"request", "tunnelid=" + std::to_string(id), "keepalive=30"});
}

std::string payloadFor(sBurst& b, cRandom& rnd, eKind kind)
{
    switch (kind) {
    case KIND_REQUEST:
        return requestPayload(b, rnd);
    case KIND_ACCEPT:
        return tspBytes({"accept"});
    case KIND_OFFER:
        return tspBytes({"offer", "tunnelid=" + std::to_string(rnd.below(1u << 30)),
                    "ip6prefix=2001:db8:bad::", "ip6prefixlen=64", "ip6addr=2001:db8:bad::1",
                    "keepalive=30"});
    case KIND_KEEPALIVE: {
        std::size_t len = rnd.below(5);
        std::size_t at = rnd.below(static_cast<uint32_t>(b.pool.size() - len));
        return std::string(reinterpret_cast<const char*>(&b.pool[at]), len);
    }
    default: {
        std::size_t len = rnd.below(kMaxPayload + 1);
        std::size_t at = rnd.below(static_cast<uint32_t>(b.pool.size() - len));
        return std::string(reinterpret_cast<const char*>(&b.pool[at]), len);
    }
    }
}

// One forged datagram: IPv4 header (the kernel fills in the total length,
// identification and checksum), UDP header without checksum, payload.
bool sendForged(sBurst& b, uint32_t srcHost, uint16_t srcPort, const std::string& payload)
{
    unsigned char packet[sizeof(iphdr) + sizeof(udphdr) + kMaxPayload];
    iphdr ip{};
    ip.version = 4;
    ip.ihl = 5;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.saddr = htonl(srcHost);
    ip.daddr = b.dst.sin_addr.s_addr;
    const std::size_t total = sizeof(iphdr) + sizeof(udphdr) + payload.size();
    ip.tot_len = htons(static_cast<uint16_t>(total));
    udphdr udp{};
    udp.source = htons(srcPort);
    udp.dest = b.dst.sin_port;
    udp.len = htons(static_cast<uint16_t>(sizeof(udphdr) + payload.size()));
    udp.check = 0;
    std::memcpy(packet, &ip, sizeof(ip));
    std::memcpy(packet + sizeof(ip), &udp, sizeof(udp));
    std::memcpy(packet + sizeof(ip) + sizeof(udp), payload.data(), payload.size());
    // A full device queue (ENOBUFS) is waited out briefly, a bounded number
    // of times; anything else counts as a failed send.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (sendto(b.fd, packet, total, 0, reinterpret_cast<const sockaddr*>(&b.dst),
                   sizeof(b.dst))
            == static_cast<ssize_t>(total))
            return true;
        if (errno != ENOBUFS && errno != EAGAIN)
            break;
        usleep(200);
    }
    return false;
}

void pace(long done, long rate, double start)
{
    if (rate <= 0 || done % 256 != 0)
        return;
    double due = start + static_cast<double>(done) / static_cast<double>(rate);
    double now = monoSeconds();
    if (due > now)
        usleep(static_cast<useconds_t>((due - now) * 1e6));
}

bool runBurst(const sOptions& o, const sockaddr_in& broker, sBurst& b)
{
    b.fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (b.fd < 0) {
        std::perror("raw socket");
        return false;
    }
    int sndbuf = 4 << 20;
    setsockopt(b.fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    b.dst = broker;
    in_addr spoof;
    if (!toAddr(o.spoofAddr, spoof))
        return false;
    b.spoofBase = ntohl(spoof.s_addr);
    b.spoofCount = o.spoofCount;
    b.seen.assign(static_cast<std::size_t>(o.spoofCount) * 65536 / 8, 0);
    cRandom rnd(o.seed);
    b.pool.resize(64 * 1024);
    for (unsigned char& c : b.pool)
        c = static_cast<unsigned char>(rnd.next() >> 56);

    std::printf("burst_start %.3f\n", wallSeconds());
    std::fflush(stdout);
    const double start = monoSeconds();
    for (long i = 0; i < o.count; ++i) {
        pace(i, o.rate, start);
        eKind kind = pickKind(rnd);
        uint32_t src;
        uint16_t port;
        pickSource(b, rnd, kind, src, port);
        if (sendForged(b, src, port, payloadFor(b, rnd, kind)))
            ++b.sent[kind];
        else
            ++b.failed;
    }
    const double seconds = monoSeconds() - start;
    std::printf("burst_end %.3f\n", wallSeconds());
    std::printf("burst_seconds %.3f\n", seconds);
    close(b.fd);
    return true;
}

bool protectedIds(const sOptions& o, const std::vector<sCompleter>& completers,
                  std::set<uint32_t>& ids)
{
    in_addr local;
    if (!toAddr(o.completerAddr, local))
        return false;
    for (const sCompleter& c : completers)
        ids.insert(endpointCrc(local, c.port));
    for (const std::string& ep : o.protect) {
        std::size_t colon = ep.rfind(':');
        in_addr a;
        if (colon == std::string::npos || !toAddr(ep.substr(0, colon), a))
            return false;
        int p = std::atoi(ep.c_str() + colon + 1);
        if (p <= 0 || p > 65535)
            return false;
        ids.insert(endpointCrc(a, htons(static_cast<uint16_t>(p))));
    }
    return true;
}

// ---------------------------------------------------------------- churn
//
// floodSender churn broker=IP addrs=IP[,IP...] clients=N seconds=S
//                   [percent=P] [keepalive=K] [blind=M] [blind-addr=IP] [seed=N]
// N scripted clients, spread over the given local addresses, run the whole
// exchange as a client without keys does and send a keepalive every K/3 s.
// Every second P % of the established ones leave without a word (a new
// client with a new endpoint takes each one's place) and P % restart: a new
// endpoint on the same address that asks for its old identifier back. First,
// M "blind" endpoints on blind-addr send a request and at once an accept,
// then fall silent. At the end every client that is up sends keepalives
// until the broker echoes them (three rounds of a second). Prints figures.

struct sChurnOptions {
    std::string broker;
    int port = 3653;
    std::vector<in_addr> addrs;
    int clients = 0;
    int seconds = 0;
    int percent = 2;
    int keepalive = 5;
    int blind = 0;
    std::string blindAddr;
    unsigned long seed = 1;
};

bool parseChurn(int argc, char** argv, sChurnOptions& o)
{
    cNumberFields numbers;
    numbers.add("port", o.port).add("clients", o.clients).add("seconds", o.seconds);
    numbers.add("percent", o.percent).add("keepalive", o.keepalive).add("blind", o.blind);
    numbers.add("seed", o.seed);
    for (int i = 2; i < argc; ++i) {
        std::string key, value;
        if (!splitOption(argv[i], key, value))
            return false;
        long number = std::atol(value.c_str());
        if (key == "broker")
            o.broker = value;
        else if (key == "blind-addr")
            o.blindAddr = value;
        else if (key == "addrs") {
            std::size_t at = 0;
            while (at <= value.size()) {
                std::size_t comma = value.find(',', at);
                if (comma == std::string::npos)
                    comma = value.size();
                in_addr a;
                if (!toAddr(value.substr(at, comma - at), a))
                    return false;
                o.addrs.push_back(a);
                at = comma + 1;
            }
        } else if (!numbers.set(key, number))
            return false;
    }
    return !o.broker.empty() && !o.addrs.empty() && o.clients > 0 && o.clients <= 4000
        && o.seconds > 0 && o.percent >= 0 && o.percent <= 50 && o.keepalive >= 3
        && (o.blind == 0 || !o.blindAddr.empty());
}

// A client retries an unanswered request after this long, as ours does.
const double kRequestRetrySeconds = 10.0;

struct sChurnClient {
    int fd = -1;
    std::size_t addr = 0;
    uint32_t id = 0;      // 0 until the first offer; kept across restarts
    bool up = false;
    double due = 0;       // the next request or keepalive
    double asked = 0;     // when the current setup began
};

struct sChurnFigures {
    long setups = 0, setupsDone = 0, left = 0, restarted = 0, sameId = 0, otherId = 0;
    double slowestSetup = 0;
};

int boundSocket(in_addr addr)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = addr;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
        return fd;
    std::perror("churn socket");
    if (fd >= 0)
        close(fd);
    return -1;
}

std::string churnRequest(uint32_t id, int keepalive)
{
    return tspBytes({"request", "tunnelid=" + std::to_string(id), "keepalive=" + std::to_string(keepalive)});
}

// A new setup on a fresh endpoint; the client keeps its identifier.
bool beginSetup(sChurnClient& c, const sChurnOptions& o, double at, sChurnFigures& f)
{
    if (c.fd >= 0)
        close(c.fd);
    c.fd = boundSocket(o.addrs[c.addr]);
    c.up = false;
    c.due = at;
    c.asked = at;
    ++f.setups;
    return c.fd >= 0;
}

uint32_t offeredId(const unsigned char* buf, ssize_t n)
{
    const std::string text(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    const std::string tag = std::string("\0tunnelid=", 10);
    std::size_t at = text.find(tag);
    return at == std::string::npos ? 0
                                   : static_cast<uint32_t>(std::strtoul(text.c_str() + at + tag.size(), nullptr, 10));
}

// Reads what reached c: an offer while setting up is accepted; returns true
// when a keepalive echo came.
bool readChurn(sChurnClient& c, const sockaddr_in& broker, double now, sChurnFigures& f)
{
    static const std::string offer("offer", 6);
    static const std::string accept = tspBytes({"accept"});
    unsigned char buf[4096];
    bool echoed = false;
    for (int i = 0; i < 64; ++i) {
        ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
        if (n < 0)
            break;
        if (n == sizeof(kKeepalive) && std::memcmp(buf, kKeepalive, sizeof(kKeepalive)) == 0)
            echoed = true;
        if (c.up || n < static_cast<ssize_t>(offer.size()) || std::memcmp(buf, offer.data(), offer.size()) != 0)
            continue;
        uint32_t id = offeredId(buf, n);
        if (c.id != 0)
            ++(id == c.id ? f.sameId : f.otherId);
        c.id = id;
        sendTo(c.fd, accept.data(), accept.size(), broker);
        c.up = true;
        c.due = now;
        f.slowestSetup = std::max(f.slowestSetup, now - c.asked);
        ++f.setupsDone;
    }
    return echoed;
}

void sendBlind(const sChurnOptions& o, const sockaddr_in& broker)
{
    in_addr addr;
    if (o.blind == 0 || !toAddr(o.blindAddr, addr))
        return;
    const std::string request = churnRequest(0, o.keepalive);
    const std::string accept = tspBytes({"accept"});
    std::vector<int> fds;
    for (int i = 0; i < o.blind; ++i) {
        int fd = boundSocket(addr);
        if (fd < 0)
            continue;
        sendTo(fd, request.data(), request.size(), broker);
        sendTo(fd, accept.data(), accept.size(), broker);
        fds.push_back(fd);
    }
    for (int fd : fds)
        close(fd);
}

// Each second: P % of the clients that are up leave, P % restart.
void churnStep(std::vector<sChurnClient>& clients, const sChurnOptions& o, cRandom& rnd, double now,
               sChurnFigures& f)
{
    const long each = (static_cast<long>(clients.size()) * o.percent + 50) / 100;
    for (int kind = 0; kind < 2; ++kind) {
        for (long done = 0, tries = 0; done < each && tries < 100 * each; ++tries) {
            sChurnClient& c = clients[rnd.below(static_cast<uint32_t>(clients.size()))];
            if (!c.up)
                continue;
            if (kind == 0) {
                c.id = 0; // someone else, from a new endpoint
                c.addr = rnd.below(static_cast<uint32_t>(o.addrs.size()));
                ++f.left;
            } else {
                ++f.restarted;
            }
            beginSetup(c, o, now, f);
            ++done;
        }
    }
}

int runChurn(int argc, char** argv)
{
    sChurnOptions o;
    sockaddr_in broker{};
    broker.sin_family = AF_INET;
    if (!parseChurn(argc, argv, o) || !toAddr(o.broker, broker.sin_addr)) {
        std::fprintf(stderr, "usage: floodSender churn broker=IP addrs=IP[,IP...] clients=N seconds=S\n"
                             "       [port=N] [percent=P] [keepalive=K] [blind=M] [blind-addr=IP] [seed=N]\n");
        return 2;
    }
    broker.sin_port = htons(static_cast<uint16_t>(o.port));
    cRandom rnd(o.seed);
    sChurnFigures f;
    sendBlind(o, broker);

    // The first setups spread over 3 s, so no address outruns the set-up rate.
    const double start = monoSeconds();
    std::vector<sChurnClient> clients(static_cast<std::size_t>(o.clients));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        clients[i].addr = i % o.addrs.size();
        if (!beginSetup(clients[i], o, start + 3.0 * i / clients.size(), f))
            return 1;
    }
    const double period = o.keepalive / 3.0;
    const double end = start + o.seconds;
    double nextStep = start + 4.0;
    std::vector<pollfd> fds(clients.size());
    for (double now = start; now < end; now = monoSeconds()) {
        if (now >= nextStep) {
            churnStep(clients, o, rnd, now, f);
            nextStep += 1.0;
        }
        for (std::size_t i = 0; i < clients.size(); ++i) {
            sChurnClient& c = clients[i];
            fds[i] = pollfd{c.fd, POLLIN, 0};
            if (now < c.due)
                continue;
            const std::string request = churnRequest(c.id, o.keepalive);
            if (c.up)
                sendTo(c.fd, kKeepalive, sizeof(kKeepalive), broker);
            else
                sendTo(c.fd, request.data(), request.size(), broker);
            c.due = now + (c.up ? period : kRequestRetrySeconds);
        }
        if (poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if ((fds[i].revents & POLLIN) != 0)
                readChurn(clients[i], broker, monoSeconds(), f);
        }
    }

    // Proof that the broker still holds the tunnel of every client up.
    std::vector<sCompleter> up;
    for (const sChurnClient& c : clients) {
        if (c.up)
            up.push_back(sCompleter{c.fd, 0});
    }
    std::printf("churn_clients %d\nchurn_setups %ld\nchurn_setups_done %ld\nchurn_left %ld\n"
                "churn_restarted %ld\nchurn_same_id %ld\nchurn_other_id %ld\nchurn_slowest_setup %.3f\n"
                "churn_up %zu\nchurn_held %d\n",
                o.clients, f.setups, f.setupsDone, f.left, f.restarted, f.sameId, f.otherId,
                f.slowestSetup, up.size(), countEchoes(up, broker));
    for (const sChurnClient& c : clients)
        close(c.fd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "churn")
        return runChurn(argc, argv);
    sOptions o;
    if (!parseOptions(argc, argv, o)) {
        usage();
        return 2;
    }
    sockaddr_in broker{};
    broker.sin_family = AF_INET;
    broker.sin_port = htons(static_cast<uint16_t>(o.port));
    if (!toAddr(o.broker, broker.sin_addr)) {
        usage();
        return 2;
    }

    std::vector<sCompleter> completers;
    if (!openCompleters(o, completers))
        return 1;
    runExchanges(completers, broker);
    std::printf("completers %d\n", o.completers);
    std::printf("completers_before %d\n", countEchoes(completers, broker));
    std::fflush(stdout);

    sBurst b;
    if (!protectedIds(o, completers, b.protectedIds)) {
        usage();
        return 2;
    }
    if (!runBurst(o, broker, b))
        return 1;
    long total = 0;
    for (int k = 0; k < KIND_COUNT; ++k) {
        std::printf("sent_%s %ld\n", kKindNames[k], b.sent[k]);
        total += b.sent[k];
    }
    std::printf("sent %ld\n", total);
    std::printf("send_failed %ld\n", b.failed);
    std::printf("distinct_endpoints %ld\n", b.distinct);
    std::fflush(stdout);

    sleep(static_cast<unsigned>(o.settle));
    std::printf("completers_after %d\n", countEchoes(completers, broker));
    for (const sCompleter& c : completers)
        close(c.fd);
    return 0;
}
