// Load for the broker's scale benchmark (scripts/bench-scale). One program,
// three roles, each run inside the benchmark's own network namespaces:
//
//   scaleLoad clients [--routed] BROKER-IP PORT N SOURCE-IP[,SOURCE-IP...]
//                     [SETUP-SECONDS]
//     N tunnels, each on a UDP socket of its own, bound to the source
//     addresses in turn with a port the kernel picks. Every tunnel runs the
//     whole setup exchange (request, offer, accept) and proves it with a
//     keepalive that the broker echoes, which it only does for an
//     established tunnel. With --routed every tunnel asks for a key and a
//     routed prefix and takes both with its accept; an offer without a
//     routed prefix is not taken. Then it prints "ready PROBE-ADDR UP
//     SETUP-MS SHARED" (the probe tunnel's address, the tunnels up, the time
//     the setup took and how many tunnels share their address with another;
//     with --routed the probe's routed prefix follows, PREFIX/LEN), or
//     "failed UP N" when not every tunnel came up within SETUP-SECONDS
//     (default 120), and serves one command per line of standard input:
//       reset       zero the probe tunnel's count of data datagrams; "ok"
//       count       "count N": data datagrams the probe received since
//       up SECONDS PORT
//                   IPv6/UDP frames from the probe's address (with
//                   --routed, its routed prefix's address ending in ::1) to
//                   the broker's TUN address (the offered prefix, last byte
//                   1) at PORT, as fast as the socket takes them; "up SENT"
//       quit        end (so does the end of standard input)
//     Meanwhile every tunnel sends a keepalive once every 30 s, spread
//     evenly. The probe is the first tunnel whose address no other tunnel
//     shares; only its socket is read once the setup is over.
//   scaleLoad blast DEST-IP6 PORT SECONDS [PAYLOAD]
//     UDP datagrams of PAYLOAD bytes (default 64) to DEST as fast as the
//     kernel takes them; prints "sent N".
//   scaleLoad sink PORT SECONDS
//     holds UDP PORT on every address without reading it, so that the kernel
//     drops what comes for it quietly rather than answering each datagram
//     with an ICMPv6 error; prints "listening PORT" and ends after SECONDS.
#include "packet/frame.h"
#include "setupMessages.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Tunnels in the middle of their exchange at once: about what the broker's
// socket buffer holds, so a setup wave never drowns in its own requests.
const std::size_t kSetupWindow = 128;
const long long kRetryMs = 1000;
const int kMaxAttempts = 10;
const long long kKeepaliveSpreadMs = 30000;
// Commands are served for at most this long; the benchmark ends far sooner.
const long long kLifetimeMs = 3600 * 1000LL;
const int kBatch = 64;
const int kDefaultPayload = 64;
const uint16_t kUpSourcePort = 40000;
const uint32_t kStdinTag = 0xffffffffu;
const int kIp6HeaderLen = 40;
const int kUdpHeaderLen = 8;

long long nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool toNumber(const char* text, long long low, long long high, long long& out)
{
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    out = v;
    return true;
}

// What an offer gives a tunnel; the texts are empty where it has no such
// tag.
struct sOffer {
    in6_addr addr{};
    in6_addr prefix{};
    std::string tunnelId;
    std::string keepalive;
    std::string key;
    std::string routedPrefix;
};

// The value of s when it is the tag "NAME=VALUE".
bool tagValue(const std::string& s, const char* name, std::string& value)
{
    const std::size_t len = std::strlen(name);
    if (s.size() <= len || s.compare(0, len, name) != 0 || s[len] != '=')
        return false;
    value = s.substr(len + 1);
    return true;
}

// An offer with its address and prefix; false for anything else.
bool parseOffer(const char* data, int n, sOffer& offer)
{
    std::vector<std::string> strings;
    int start = 0;
    for (int i = 0; i < n; ++i) {
        if (data[i] == '\0') {
            strings.emplace_back(data + start, static_cast<std::size_t>(i - start));
            start = i + 1;
        }
    }
    if (strings.empty() || strings[0] != "offer")
        return false;
    std::string addr;
    std::string prefix;
    for (const std::string& s : strings) {
        (void)(tagValue(s, "ip6addr", addr) || tagValue(s, "ip6prefix", prefix)
               || tagValue(s, "tunnelid", offer.tunnelId)
               || tagValue(s, "keepalive", offer.keepalive)
               || tagValue(s, "tunnelkey", offer.key)
               || tagValue(s, "routedprefix", offer.routedPrefix));
    }
    return inet_pton(AF_INET6, addr.c_str(), &offer.addr) == 1
        && inet_pton(AF_INET6, prefix.c_str(), &offer.prefix) == 1;
}

// The accept that takes an offer's key and routed prefix: it repeats what
// the offer gave. Empty when the offer gave no routed prefix.
std::string routedAccept(const sOffer& offer)
{
    if (offer.tunnelId.empty() || offer.keepalive.empty() || offer.key.empty()
        || offer.routedPrefix.empty())
        return "";
    return tspBytes({"accept", "tunnelid=" + offer.tunnelId, "keepalive=" + offer.keepalive,
                     "tunnelkey=" + offer.key, "routedprefix=" + offer.routedPrefix});
}

// A frame holding an IPv6/UDP packet with a correct checksum.
std::vector<unsigned char> probeFrame(const in6_addr& src, const in6_addr& dst, uint16_t port,
                                      int payload)
{
    const std::size_t udpLen = static_cast<std::size_t>(kUdpHeaderLen + payload);
    const std::string frame = udpFrame(src, dst, sizeof(kIp6PacketInfo) + kIp6HeaderLen + udpLen);
    std::vector<unsigned char> f(frame.begin(), frame.end());
    unsigned char* ip = f.data() + sizeof(kIp6PacketInfo);
    unsigned char* udp = ip + kIp6HeaderLen;
    udp[0] = kUpSourcePort >> 8;
    udp[1] = kUpSourcePort & 0xff;
    udp[2] = static_cast<unsigned char>(port >> 8);
    udp[3] = static_cast<unsigned char>(port);
    udp[4] = ip[4];
    udp[5] = ip[5];
    for (std::size_t i = kUdpHeaderLen; i < udpLen; ++i)
        udp[i] = static_cast<unsigned char>(i);
    uint16_t check = definedChecksum(ip, kIp6HeaderLen + udpLen, 6);
    if (check == 0)
        check = 0xffff;
    udp[6] = static_cast<unsigned char>(check >> 8);
    udp[7] = static_cast<unsigned char>(check);
    return f;
}

// One batch of datagrams that all carry the same bytes on a connected socket.
struct sSendBatch {
    iovec bytes;
    mmsghdr msgs[kBatch];

    sSendBatch(const void* data, std::size_t len) : bytes{const_cast<void*>(data), len}
    {
        std::memset(msgs, 0, sizeof(msgs));
        for (mmsghdr& m : msgs) {
            m.msg_hdr.msg_iov = &bytes;
            m.msg_hdr.msg_iovlen = 1;
        }
    }
};

// ---------------------------------------------------------------- clients

enum eState { ST_IDLE, ST_REQUESTED, ST_CONFIRMING, ST_UP, ST_FAILED };

struct sTunnel {
    int fd = -1;
    eState state = ST_IDLE;
    int attempts = 0;
    long long deadline = 0;
    in6_addr addr{};
    // With routed prefixes: the tunnel's own accept, and the prefix it takes.
    std::string accept;
    std::string routedPrefix;
};

class cClients {
public:
    cClients(int count, bool routed);
    bool open(const sockaddr_in& broker, const std::vector<in_addr>& sources);
    bool setUp(long long deadline);
    int serve();

    int up() const { return mUp; }
    long long setupMs() const { return mSetupMs; }
    int shared() const { return mShared; }
    const in6_addr& probeAddr() const { return mTunnels[mProbe].addr; }
    const std::string& probeRoutedPrefix() const { return mTunnels[mProbe].routedPrefix; }

private:
    void send(const sTunnel& t, const std::string& bytes);
    void sendConfirm(const sTunnel& t);
    bool takeOffer(sTunnel& t, const sOffer& offer);
    in6_addr upstreamSource() const;
    void takeSetupReplies(uint32_t index, long long now);
    bool pickProbe();
    void keepaliveTick(long long now);
    void takeProbeData();
    bool command(const std::string& line);
    long long flood(long long ms, uint16_t port);

    std::vector<sTunnel> mTunnels;
    bool mRouted = false;
    bool mToldUnrouted = false;
    int mEpoll = -1;
    int mUp = 0;
    long long mSetupMs = 0;
    int mShared = 0;
    std::size_t mProbe = 0;
    in6_addr mPrefix{};
    long long mKeepaliveStart = 0;
    long long mKeepalivesSent = 0;
    long long mProbeData = 0;
    std::string mRequest;
    std::string mAccept = tspBytes({"accept"});
    std::string mKeepalive = keepaliveBytes();
};

cClients::cClients(int count, bool routed)
    : mTunnels(static_cast<std::size_t>(count)),
      mRouted(routed),
      mRequest(routed ? tspBytes({"request", "tunnelid=0", "keepalive=300", "tunnelkey=",
                                  "routedprefix="})
                      : tspBytes({"request", "tunnelid=0", "keepalive=300"}))
{
}

bool raiseFileLimit(rlim_t want)
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return false;
    if (lim.rlim_cur >= want)
        return true;
    lim.rlim_cur = want;
    if (lim.rlim_max < want)
        lim.rlim_max = want;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

bool cClients::open(const sockaddr_in& broker, const std::vector<in_addr>& sources)
{
    if (!raiseFileLimit(mTunnels.size() + 64)) {
        std::perror("setrlimit");
        return false;
    }
    mEpoll = epoll_create1(0);
    if (mEpoll < 0) {
        std::perror("epoll_create1");
        return false;
    }
    for (std::size_t i = 0; i < mTunnels.size(); ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr = sources[i % sources.size()];
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0
            || connect(fd, reinterpret_cast<const sockaddr*>(&broker), sizeof(broker)) != 0
            || epoll_ctl(mEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
            std::fprintf(stderr, "scaleLoad: socket %zu: %s\n", i, std::strerror(errno));
            return false;
        }
        mTunnels[i].fd = fd;
    }
    return true;
}

// A send that finds the socket full is a lost datagram: the retry covers it.
void cClients::send(const sTunnel& t, const std::string& bytes)
{
    ssize_t r = ::send(t.fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    (void)r;
}

// The accept, and behind it the keepalive whose echo proves the tunnel
// established: the broker handles a peer's datagrams in order.
void cClients::sendConfirm(const sTunnel& t)
{
    send(t, t.accept.empty() ? mAccept : t.accept);
    send(t, mKeepalive);
}

// False for an offer that lacks what the tunnel asked for: its request is
// sent again until the attempts run out.
bool cClients::takeOffer(sTunnel& t, const sOffer& offer)
{
    if (mRouted) {
        t.accept = routedAccept(offer);
        if (t.accept.empty()) {
            if (!mToldUnrouted)
                std::fprintf(stderr, "scaleLoad: an offer without a routed prefix\n");
            mToldUnrouted = true;
            return false;
        }
        t.routedPrefix = offer.routedPrefix;
    }
    t.addr = offer.addr;
    mPrefix = offer.prefix;
    return true;
}

void cClients::takeSetupReplies(uint32_t index, long long now)
{
    sTunnel& t = mTunnels[index];
    char buffer[kFrameBufferSize];
    for (int i = 0; i < 8; ++i) {
        ssize_t n = recv(t.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0)
            return;
        sOffer offer;
        if (t.state == ST_REQUESTED && parseOffer(buffer, static_cast<int>(n), offer)
            && takeOffer(t, offer)) {
            sendConfirm(t);
            t.state = ST_CONFIRMING;
            t.attempts = 0;
            t.deadline = now + kRetryMs;
        } else if (t.state == ST_CONFIRMING && n == kKeepaliveMax
                   && std::memcmp(buffer, kKeepaliveBytes, kKeepaliveMax) == 0) {
            t.state = ST_UP;
        }
    }
}

bool cClients::setUp(long long deadline)
{
    const long long start = nowMs();
    std::vector<uint32_t> active;
    std::size_t next = 0;
    int failed = 0;
    std::vector<epoll_event> events(256);
    while (static_cast<std::size_t>(mUp + failed) < mTunnels.size() && nowMs() < deadline) {
        while (active.size() < kSetupWindow && next < mTunnels.size()) {
            sTunnel& t = mTunnels[next];
            send(t, mRequest);
            t.state = ST_REQUESTED;
            t.deadline = nowMs() + kRetryMs;
            active.push_back(static_cast<uint32_t>(next++));
        }
        int got = epoll_wait(mEpoll, events.data(), static_cast<int>(events.size()), 20);
        long long now = nowMs();
        for (int i = 0; i < got; ++i)
            takeSetupReplies(events[static_cast<std::size_t>(i)].data.u32, now);
        for (std::size_t a = 0; a < active.size();) {
            sTunnel& t = mTunnels[active[a]];
            bool done = t.state == ST_UP;
            if (!done && now >= t.deadline) {
                if (++t.attempts >= kMaxAttempts) {
                    t.state = ST_FAILED;
                    ++failed;
                    done = true;
                } else {
                    if (t.state == ST_REQUESTED)
                        send(t, mRequest);
                    else
                        sendConfirm(t);
                    t.deadline = now + kRetryMs;
                }
            }
            if (!done) {
                ++a;
                continue;
            }
            if (t.state == ST_UP)
                ++mUp;
            active[a] = active.back();
            active.pop_back();
        }
    }
    mSetupMs = nowMs() - start;
    return static_cast<std::size_t>(mUp) == mTunnels.size() && pickProbe();
}

// The broker derives an address from each endpoint; two endpoints may share
// one, and a packet for it reaches only one of them. The probe is a tunnel
// whose address is its own.
bool cClients::pickProbe()
{
    std::unordered_map<std::string, int> uses;
    auto key = [](const sTunnel& t) {
        return std::string(reinterpret_cast<const char*>(&t.addr), sizeof(t.addr));
    };
    for (const sTunnel& t : mTunnels)
        ++uses[key(t)];
    bool found = false;
    for (std::size_t i = 0; i < mTunnels.size(); ++i) {
        if (uses[key(mTunnels[i])] > 1) {
            ++mShared;
        } else if (!found) {
            mProbe = i;
            found = true;
        }
    }
    return found;
}

// Keepalives at an even pace, one per tunnel per spread; a late tick sends
// what is due but never more than one round.
void cClients::keepaliveTick(long long now)
{
    const long long n = static_cast<long long>(mTunnels.size());
    long long due = (now - mKeepaliveStart) * n / kKeepaliveSpreadMs;
    if (due - mKeepalivesSent > n)
        mKeepalivesSent = due - n;
    for (; mKeepalivesSent < due; ++mKeepalivesSent)
        send(mTunnels[static_cast<std::size_t>(mKeepalivesSent % n)], mKeepalive);
}

void cClients::takeProbeData()
{
    static char buffers[kBatch][kFrameBufferSize];
    iovec vectors[kBatch];
    mmsghdr msgs[kBatch];
    std::memset(msgs, 0, sizeof(msgs));
    for (int i = 0; i < kBatch; ++i) {
        vectors[i] = {buffers[i], kFrameBufferSize};
        msgs[i].msg_hdr.msg_iov = &vectors[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    // A bounded drain: the command loop gets its turn in between.
    for (int round = 0; round < 64; ++round) {
        int got = recvmmsg(mTunnels[mProbe].fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i) {
            if (msgs[i].msg_len > static_cast<unsigned>(kKeepaliveMax))
                ++mProbeData;
        }
        if (got < kBatch)
            return;
    }
}

// The probe's address, or the first address of its routed prefix.
in6_addr cClients::upstreamSource() const
{
    if (!mRouted)
        return probeAddr();
    const std::string& routed = probeRoutedPrefix();
    in6_addr source{};
    inet_pton(AF_INET6, routed.substr(0, routed.find('/')).c_str(), &source);
    source.s6_addr[15] = 1;
    return source;
}

long long cClients::flood(long long ms, uint16_t port)
{
    in6_addr brokerTun = mPrefix;
    brokerTun.s6_addr[15] = 1;
    const std::vector<unsigned char> frame =
        probeFrame(upstreamSource(), brokerTun, port, kDefaultPayload);
    sSendBatch batch(frame.data(), frame.size());
    const int fd = mTunnels[mProbe].fd;
    long long sent = 0;
    for (long long end = nowMs() + ms, now = nowMs(); now < end; now = nowMs()) {
        keepaliveTick(now);
        int r = sendmmsg(fd, batch.msgs, kBatch, 0);
        if (r > 0) {
            sent += r;
        } else {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
    return sent;
}

bool cClients::command(const std::string& line)
{
    long long seconds = 0;
    long long port = 0;
    char secondsText[16];
    char portText[16];
    bool up = std::sscanf(line.c_str(), "up %15s %15s", secondsText, portText) == 2
        && toNumber(secondsText, 1, 600, seconds) && toNumber(portText, 1, 65535, port);
    if (line == "reset") {
        mProbeData = 0;
        std::printf("ok\n");
    } else if (line == "count") {
        takeProbeData();
        std::printf("count %lld\n", mProbeData);
    } else if (up) {
        std::printf("up %lld\n", flood(seconds * 1000, static_cast<uint16_t>(port)));
    } else if (line == "quit") {
        return false;
    } else {
        std::printf("error unknown command\n");
    }
    std::fflush(stdout);
    return true;
}

int cClients::serve()
{
    for (std::size_t i = 0; i < mTunnels.size(); ++i) {
        if (i != mProbe)
            epoll_ctl(mEpoll, EPOLL_CTL_DEL, mTunnels[i].fd, nullptr);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = kStdinTag;
    if (epoll_ctl(mEpoll, EPOLL_CTL_ADD, STDIN_FILENO, &ev) != 0) {
        std::perror("scaleLoad: standard input");
        return 2;
    }
    mKeepaliveStart = nowMs();
    std::string pending;
    const long long end = mKeepaliveStart + kLifetimeMs;
    for (long long now = nowMs(); now < end; now = nowMs()) {
        keepaliveTick(now);
        epoll_event events[2];
        int got = epoll_wait(mEpoll, events, 2, 100);
        for (int i = 0; i < got; ++i) {
            if (events[i].data.u32 != kStdinTag) {
                takeProbeData();
                continue;
            }
            char chunk[256];
            ssize_t n = read(STDIN_FILENO, chunk, sizeof(chunk));
            if (n <= 0)
                return 0;
            pending.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                if (!command(line))
                    return 0;
            }
        }
    }
    return 0;
}

int runClients(int argc, char** argv)
{
    const bool routed = argc > 2 && std::strcmp(argv[2], "--routed") == 0;
    if (routed) {
        // The rest reads as without the flag.
        argv[2] = argv[1];
        ++argv;
        --argc;
    }
    long long port = 0;
    long long count = 0;
    long long setupSeconds = 120;
    sockaddr_in broker{};
    broker.sin_family = AF_INET;
    if (argc < 6 || inet_pton(AF_INET, argv[2], &broker.sin_addr) != 1
        || !toNumber(argv[3], 1, 65535, port) || !toNumber(argv[4], 1, 50000, count)
        || (argc > 6 && !toNumber(argv[6], 1, 3600, setupSeconds)))
        return -1;
    broker.sin_port = htons(static_cast<uint16_t>(port));
    std::vector<in_addr> sources;
    std::string list = argv[5];
    for (std::size_t at = 0; at <= list.size();) {
        std::size_t comma = std::min(list.find(',', at), list.size());
        in_addr a{};
        if (inet_pton(AF_INET, list.substr(at, comma - at).c_str(), &a) != 1)
            return -1;
        sources.push_back(a);
        at = comma + 1;
    }

    setvbuf(stdout, nullptr, _IOLBF, 0);
    cClients clients(static_cast<int>(count), routed);
    if (!clients.open(broker, sources))
        return 2;
    if (!clients.setUp(nowMs() + setupSeconds * 1000)) {
        std::printf("failed %d %lld\n", clients.up(), count);
        return 1;
    }
    std::printf("ready %s %d %lld %d%s%s\n", ip6Text(&clients.probeAddr()).c_str(), clients.up(),
                clients.setupMs(), clients.shared(), routed ? " " : "",
                clients.probeRoutedPrefix().c_str());
    return clients.serve();
}

// ---------------------------------------------------------------- blast, sink

int runBlast(int argc, char** argv)
{
    sockaddr_in6 dest{};
    dest.sin6_family = AF_INET6;
    long long port = 0;
    long long seconds = 0;
    long long payload = kDefaultPayload;
    if (argc < 5 || inet_pton(AF_INET6, argv[2], &dest.sin6_addr) != 1
        || !toNumber(argv[3], 1, 65535, port) || !toNumber(argv[4], 1, 600, seconds)
        || (argc > 5 && !toNumber(argv[5], 0, 1400, payload)))
        return -1;
    dest.sin6_port = htons(static_cast<uint16_t>(port));
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    // A full device queue may block a send; it never blocks for long.
    timeval bound = {0, 100000};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound)) != 0
        || connect(fd, reinterpret_cast<const sockaddr*>(&dest), sizeof(dest)) != 0) {
        std::perror("scaleLoad: blast socket");
        return 2;
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(payload), 0x5a);
    sSendBatch batch(bytes.data(), bytes.size());
    long long sent = 0;
    for (long long end = nowMs() + seconds * 1000; nowMs() < end;) {
        int r = sendmmsg(fd, batch.msgs, kBatch, 0);
        if (r > 0)
            sent += r;
    }
    std::printf("sent %lld\n", sent);
    return 0;
}

int runSink(int argc, char** argv)
{
    long long port = 0;
    long long seconds = 0;
    if (argc < 4 || !toNumber(argv[2], 1, 65535, port) || !toNumber(argv[3], 1, 86400, seconds))
        return -1;
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(static_cast<uint16_t>(port));
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0) {
        std::perror("scaleLoad: sink socket");
        return 2;
    }
    std::printf("listening %lld\n", port);
    std::fflush(stdout);
    for (long long end = nowMs() + seconds * 1000; nowMs() < end;)
        sleep(1);
    return 0;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: scaleLoad clients [--routed] BROKER-IP PORT N "
                 "SOURCE-IP[,SOURCE-IP...] [SETUP-SECONDS]\n"
                 "       scaleLoad blast DEST-IP6 PORT SECONDS [PAYLOAD]\n"
                 "       scaleLoad sink PORT SECONDS\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    int rc = -1;
    if (mode == "clients")
        rc = runClients(argc, argv);
    else if (mode == "blast")
        rc = runBlast(argc, argv);
    else if (mode == "sink")
        rc = runSink(argc, argv);
    if (rc < 0) {
        usage();
        return 2;
    }
    return rc;
}
