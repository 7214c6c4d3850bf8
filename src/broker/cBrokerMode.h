// Broker mode's logic for one datagram from a client and one frame from the
// TUN device, with what only broker mode keeps: the setup-rate limiter, the
// tunnel table's admission policy and the summaries of what a flood made it
// refuse. It reaches the TUN device and the peers only through the packet
// host each worker hands in, and logs under the broker's category.
#pragma once

#include "broker/cSetupLimiter.h"
#include "broker/cUnreachableAnswers.h"
#include "log/cSummaryPacer.h"
#include "log/cWlog.h"
#include "packet/frameRun.h"
#include "net/udpOffload.h"
#include "queue/cPktQueue.h"
#include "counters/daemonCounters.h"

#include <netinet/in.h>

#include <cstddef>
#include <vector>

class cBroker;
class cPacketHost;
class cTSPMsg;
class cTunnel;

// The broker's settings that its mode reads.
struct sBrokerModeSettings {
    int maxTunnels;
    int setupRate;
    bool sourceCheck;
    bool broadcastDelivery;
    bool tunOffload;
    int tunMtu;
    // ICMPv6 errors for addresses nobody holds, from the broker's TUN address.
    bool unreachable = false;
    in6_addr tunAddress = {};
};

// The settings as the broker read them from its configuration.
sBrokerModeSettings brokerModeSettings(const cBroker& broker);

class cBrokerMode : public cWlog {
public:
    explicit cBrokerMode(const sBrokerModeSettings& settings);

    cBrokerMode(const cBrokerMode&) = delete;
    cBrokerMode& operator=(const cBrokerMode&) = delete;

    // now: nanoseconds of CLOCK_MONOTONIC; host: the calling worker's. The
    // UDP worker's calls; each takes gTunnelsLock for the whole datagram.
    // local: the address the datagram arrived at; answers leave from it
    // (INADDR_ANY: the kernel chooses).
    void handleUdpDatagram(cPacketHost& host, char* buffer, int n, const sockaddr_in& sender, long long now,
                           in_addr local = in_addr{});
    void flushReports(long long now);
    // A run of one sender's datagrams (received coalesced): looked up once
    // when the sender's tunnel is established, each datagram then relayed or
    // echoed as handleUdpDatagram would; otherwise handled one by one.
    void handleUdpRun(cPacketHost& host, char* buffer, int n, int segment,
                      const sockaddr_in& sender, long long now, in_addr local);
    // The TUN worker's calls: one frame to the tunnel that holds its
    // destination (multicast to all), or to all with broadcast delivery.
    void handleTunFrame(cPacketHost& host, char* buffer, int n, long long now);
    void flushTunReports(long long now);
    // With the TUN device's offload: the wire frames of one read, laid end
    // to end, to the tunnel that holds their destination; a read that made
    // no frames.
    void handleTunRun(cPacketHost& host, const unsigned char* frames, const sWireFrames& cut,
                      long long now);
    void dropTunRead(int n);
    // What the TUN worker took from its queue at once, laid end to end in
    // bytes: each entry a frame, or a read with the virtio header when the
    // device has offload. Frames of one size to one tunnel leave as one run.
    void handleTunBatch(cPacketHost& host, char* bytes, const cPktQueue::sPopped* popped, int count,
                        long long now);

    // Totals since start: offers held back, tunnels evicted (unfinished or
    // silent) and new endpoints refused by the full table.
    unsigned long heldOffers() const { return mHeld.total; }
    unsigned long evictedTunnels() const { return mEvicted.total; }
    unsigned long refusedEndpoints() const { return mRefused.total; }
    // Frames from the TUN device that no tunnel holds the destination of,
    // and data datagrams refused: not IPv6, or not from their tunnel's address.
    unsigned long undeliveredFrames() const { return mUndelivered.total; }
    unsigned long refusedData() const { return mNotIp6.total + mSpoofed.total; }

private:
    // An event summarised in the log, counted here and in the daemon's
    // figures for the status view.
    struct tCount {
        explicit tCount(std::atomic<uint64_t>& daemonTotal) : daemon(daemonTotal) {}
        unsigned long since = 0;
        unsigned long total = 0;
        std::atomic<uint64_t>& daemon;
        void add()
        {
            ++since;
            ++total;
            countUp(daemon);
        }
    };

    cTunnel* admit(const char* buffer, int n, const sockaddr_in& sender, long long now);
    bool relayRun(cPacketHost& host, const sReceivedRun& run, long long now);
    void relayEstablished(cPacketHost& host, cTunnel* tunnel, char* buffer, int n,
                          const sockaddr_in& sender, long long now);
    bool makeRoomFor(const char* buffer, int n, const sockaddr_in& sender, long long now);
    cTunnel* victim(long long now, bool& silent) const;
    void answerSetup(cPacketHost& host, cTunnel* tunnel, char* buffer, int n,
                     const sockaddr_in& sender, long long now);
    void answerWithoutTunnel(cPacketHost& host, char* buffer, int n, const sockaddr_in& sender,
                             long long now, in_addr local);
    bool sendReply(cPacketHost& host, cTSPMsg* reply, const cTunnel* tunnel,
                   const sockaddr_in& sender, long long now);
    void relayData(cPacketHost& host, const cTunnel* tunnel, char* buffer, int n,
                   const sockaddr_in& sender, long long now);
    bool dataUsable(const cTunnel* tunnel, const char* buffer, int n, const sockaddr_in& sender);
    void echoKeepalive(cPacketHost& host, const cTunnel* tunnel, char* buffer, int n);
    void sendRun(cPacketHost& host, const unsigned char* frames, const sWireFrames& cut,
                 const cTunnel* tunnel);
    // With gTunnelsLock held, from the first frame of a batch to sendGathered.
    void routeRead(cPacketHost& host, char* read, int n, long long now);
    void routeFrame(cPacketHost& host, char* buffer, int n, long long now);
    void routeRun(cPacketHost& host, const unsigned char* frames, const sWireFrames& cut,
                  long long now);
    void gather(cPacketHost& host, const cTunnel* tunnel, const char* frame, int n);
    void sendGathered(cPacketHost& host);
    bool answerUnheld(cPacketHost& host, const char* buffer, int n, long long now);
    bool sourceUsable(const cTunnel* tunnel, const unsigned char* source) const;
    void reportTableLimit(long long now);
    void reportUnreachable(long long now);
    void reportPoolFull(long long now);
    void reportHeldOffers(long long now);
    void reportRefusedData(long long now);
    void summarise(tCount& count, cSummaryPacer& pacer, long long now, const char* before,
                   const char* after);

    std::size_t mMaxTunnels;
    cSetupLimiter mSetupLimiter;
    tCount mHeld;
    cSummaryPacer mHeldPacer;
    tCount mEvicted;
    tCount mRefused;
    cSummaryPacer mLimitPacer;
    bool mSourceCheck;
    tCount mNotIp6;
    tCount mSpoofed;
    tCount mLinkLocal;
    cSummaryPacer mRefusedDataPacer;
    cSummaryPacer mPoolFullPacer;
    // Both workers', under gTunnelsLock.
    cUnreachableAnswers mUnreachable;
    cSummaryPacer mUnreachablePacer;
    // The TUN worker's own.
    bool mBroadcast;
    bool mTunOffload;
    int mTunMtu;
    tCount mUndelivered;
    cSummaryPacer mUndeliveredPacer;
    cFrameRun mGathered;
    std::vector<unsigned char> mCutFrames;
};
