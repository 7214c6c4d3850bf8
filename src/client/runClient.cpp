// Client mode: reach the broker, set up the tunnel with retries, then relay
// frames between the TUN device and the broker until the broker falls silent.
#include "main/cBroker.h"

#include "client/cClientMode.h"
#include "client/cClientRunHost.h"
#include "log/logText.h"
#include "log/monotonicClock.h"
#include "packet/cSocketPacketHost.h"
#include "net/tunFrameRead.h"
#include "net/udpOffload.h"
#include "status/cOperatorView.h"
#include "packet/frame.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <vector>

namespace {

const long long kQuietMs = cClientMode::kQuietSeconds * 1000LL;
// Datagrams or frames one wake-up serves from each descriptor at most.
const int kDrainLimit = 64;

// The broker endpoint: port in network order and the first address of the
// resolved host, every other byte zero.
bool resolveBroker(const char* host, uint16_t port, sockaddr_in& broker)
{
    hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET
        || entry->h_length != static_cast<int>(sizeof(in_addr)) || entry->h_addr_list[0] == nullptr)
        return false;
    std::memset(&broker, 0, sizeof broker);
    broker.sin_family = AF_INET;
    broker.sin_port = htons(port);
    std::memcpy(&broker.sin_addr, entry->h_addr_list[0], sizeof(in_addr));
    return true;
}

// The run loop around a cClientMode: one select over both descriptors, and
// after each wake-up what is ready, in rounds of one datagram then one frame
// (the UDP socket first, as in one pass of a loop that selects each time);
// both reads share the one buffer. The operator's view may wake the loop
// sooner; the quiet interval still counts from the last datagram or frame.
// Every pass lets the mode measure the broker's silence.
class cClientLoop {
public:
    cClientLoop(cBroker& broker, cClientMode& mode, cOperatorView* view)
        : mBroker(broker), mMode(mode), mView(view), mBuffer(broker.tunReadSize())
    {
    }

    int run()
    {
        long long quietAt = monotonicMillis() + kQuietMs;
        for (;;) {
            fd_set readable;
            fd_set writable;
            int ready = waitReadable(readable, writable, quietAt);
            long long now = monotonicNanoseconds();
            if (mView != nullptr)
                mView->serve(readable, writable, now);
            bool relayReady = ready > 0
                && (FD_ISSET(mBroker.udpSocket(), &readable) || FD_ISSET(mBroker.tunFd(), &readable));
            bool quiet = !relayReady && (ready < 0 || wholeMillis(now) >= quietAt);
            int result = relayReady ? serveReady(readable) : cClientMode::CLIENT_CONTINUE;
            if (result == cClientMode::CLIENT_CONTINUE)
                result = quiet ? mMode.onQuiet(monotonicNanoseconds())
                               : mMode.onPass(monotonicNanoseconds());
            if (relayReady || quiet)
                quietAt = monotonicMillis() + kQuietMs;
            if (result != cClientMode::CLIENT_CONTINUE)
                return result;
            if (mView != nullptr && mMode.hasSetUp() && !mReadySent) {
                mView->ready();
                mReadySent = true;
            }
        }
    }

private:
    // Both descriptors are read from the cBroker again each pass. The number
    // of ready descriptors; 0 on a time-out, -1 on a select failure (handled
    // as a time-out), both sets then empty.
    int waitReadable(fd_set& readable, fd_set& writable, long long quietAt)
    {
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(mBroker.tunFd(), &readable);
        FD_SET(mBroker.udpSocket(), &readable);
        int maxFd = std::max(mBroker.tunFd(), mBroker.udpSocket());
        long long now = monotonicNanoseconds();
        long long sleepMs = std::max(0LL, quietAt - wholeMillis(now));
        if (mView != nullptr) {
            mView->addTo(readable, writable, maxFd);
            long long limit = mView->sleepLimitMs(now);
            if (limit >= 0)
                sleepMs = std::min(sleepMs, limit);
        }
        timeval timeout = {static_cast<time_t>(sleepMs / 1000),
                           static_cast<suseconds_t>(sleepMs % 1000 * 1000)};
        int ready = select(maxFd + 1, &readable, &writable, nullptr, &timeout);
        if (ready <= 0) {
            FD_ZERO(&readable);
            FD_ZERO(&writable);
        }
        return ready;
    }

    int serveReady(const fd_set& readable)
    {
        bool udpReady = FD_ISSET(mBroker.udpSocket(), &readable);
        bool tunReady = FD_ISSET(mBroker.tunFd(), &readable);
        for (int round = 0; round < kDrainLimit && (udpReady || tunReady); ++round) {
            if (udpReady) {
                int result = cClientMode::CLIENT_CONTINUE;
                udpReady = mBroker.groBatch() != nullptr ? serveRuns(result)
                                                        : serveDatagram(round == 0, result);
                if (result != cClientMode::CLIENT_CONTINUE)
                    return result;
            }
            if (tunReady)
                tunReady = serveFrame(round == 0);
        }
        // Frames for the TUN device that wait to be merged go in now, and
        // frames gathered for the broker leave.
        mMode.flushTunWrites();
        mMode.sendGatheredFrames();
        return cClientMode::CLIENT_CONTINUE;
    }

    // With receive offload: runs of datagrams, each datagram handled as if
    // it had come alone. False when the socket is done for this wake-up.
    bool serveRuns(int& result)
    {
        cGroBatch& batch = *mBroker.groBatch();
        int got = batch.receive(mBroker.udpSocket());
        for (int i = 0; i < got; ++i) {
            sReceivedRun run = batch.run(i);
            cDatagramWalk walk(run);
            const unsigned char* datagram;
            std::size_t length;
            while (walk.next(datagram, length)) {
                result = mMode.onDatagram(const_cast<char*>(reinterpret_cast<const char*>(datagram)),
                                          static_cast<int>(length), run.sender, monotonicNanoseconds());
                if (result != cClientMode::CLIENT_CONTINUE)
                    return false;
            }
        }
        return got == cGroBatch::kGroBatch;
    }

    // The first read follows select and may block; later ones return at
    // once when nothing is waiting, and such an empty read is the end of the
    // drain, not an event. False when the socket is done for this wake-up.
    bool serveDatagram(bool first, int& result)
    {
        sockaddr_in from;
        std::memset(&from, 0, sizeof from);
        socklen_t fromLen = sizeof from;
        int n = static_cast<int>(recvfrom(mBroker.udpSocket(), mBuffer.data(), kFrameBufferSize,
                                          first ? 0 : MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&from), &fromLen));
        if (n < 0 && !first)
            return false;
        result = mMode.onDatagram(mBuffer.data(), n, from, monotonicNanoseconds());
        return n >= 0;
    }

    bool serveFrame(bool first)
    {
        int n = static_cast<int>(readTunFrame(mBroker.tunFd(), mBuffer.data(), first, mBuffer.size()));
        if (n < 0 && !first)
            return false;
        mMode.onFrame(mBuffer.data(), n);
        return n >= 0;
    }

    cBroker& mBroker;
    cClientMode& mMode;
    cOperatorView* mView;
    bool mReadySent = false;
    // Both reads share it: a frame, a datagram or a read with the virtio header.
    std::vector<char> mBuffer;
};

} // namespace

bool cBroker::lanSettingUsable()
{
    if (mLanInterface == nullptr || *mLanInterface == '\0')
        return true;
    if (!asksRoutedPrefix()) {
        mError << "quib.client.lan is set but quib.client.routedprefix is 0: no prefix to give '"
               << printableText(mLanInterface) << "'. Bailing out" << std::endl;
        return false;
    }
    if (!interfaceExists(mLanInterface)) {
        mError << "quib.client.lan names no interface: '" << printableText(mLanInterface)
               << "'. Bailing out" << std::endl;
        return false;
    }
    return true;
}

int cBroker::runClient()
{
    if (mBrokerAddress == nullptr) {
        std::cout << "Cannot run the client without knowing where to connect to. Bailing Out !"
                  << std::endl;
        return -1;
    }
    if (!tunMtuUsable() || !lanSettingUsable())
        return -1;
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        mError << "Could not create broker socket" << std::endl;
        return -1;
    }
    sockaddr_in broker;
    if (!resolveBroker(mBrokerAddress, mPort, broker)) {
        mError << "Could not resolve hostname: '" << mBrokerAddress << "'" << std::endl;
        return -1;
    }
    mInfo << "Connecting to " << mBrokerAddress << "(" << inet_ntoa(broker.sin_addr)
          << "):" << static_cast<unsigned>(mPort) << std::endl;
    // The socket and the TUN device live until the run returns; the process
    // ends right after, so neither is released.
    mUdpSocket = sock;
    cClientRunHost host(*this);
    cClientMode mode(host, broker, monotonicNanoseconds());
    // Before the TUN device: a second daemon of the same name stops here.
    mView.reset(new cOperatorView());
    if (!mView->open(mConfigPath,
                     [&mode](sStatusSnapshot& status, long long now) { mode.fillStatus(status, now); },
                     false, [&mode] { return mode.summary(); }))
        return -1;
    if (!openTun()) {
        mError << "Problems setting up the tun interface. Bailing out" << std::endl;
        return -1;
    }
    askForUdpRuns();
    cSocketPacketHost packets(mUdpSocket, mTunFd, mTunOffload);
    host.usePackets(packets);
    mode.start(sClientDevice{mTunOffload, mTunMtu}, monotonicNanoseconds());
    int result = cClientLoop(*this, mode, mView.get()).run();
    // The view's figures come from the mode, which ends with this run.
    mView.reset();
    return result;
}
