// Broker mode on the main thread: start sequence and receive loop.
#include "main/cBroker.h"

#include "broker/brokerSecret.h"
#include "broker/brokerStatus.h"
#include "broker/cBrokerMode.h"
#include "config/configKeys.h"
#include "log/logText.h"
#include "log/monotonicClock.h"
#include "net/tunFrameRead.h"
#include "packet/tunOffloadIo.h"
#include "net/udpOffload.h"
#include "status/cOperatorView.h"
#include "counters/daemonCounters.h"
#include "packet/frame.h"
#include "packet/datagramSender.h"
#include "packet/tcpSegmenter.h"
#include "tunnel/tunnelTable.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sodium.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <vector>

namespace {

void announcePrefix(const in6_addr& prefix, uint8_t prefixLen)
{
    std::cout << "Will use prefix '" << ip6Text(prefix) << "'/" << static_cast<unsigned>(prefixLen)
              << "for tun addesses" << std::endl;
}

// The broker's own TUN address: the prefix with its last byte set to 1.
in6_addr tunAddressFor(const in6_addr& prefix)
{
    in6_addr address = prefix;
    address.s6_addr[15] = 1;
    return address;
}

// Frames or datagrams one pass takes from each descriptor at most, so that a
// flood on one side never keeps the loop from the other for long.
const int kDrainLimit = 64;
// Datagrams taken by one recvmmsg.
const int kUdpBatch = 16;

void queueFrame(cBroker& broker, char* buffer, ssize_t count)
{
    int n = static_cast<int>(count);
    // The line counts the frame (information header and packet), never the
    // virtio header that offload puts before it.
    int header = broker.tunOffload() ? static_cast<int>(kVnetHeaderLen) : 0;
    broker.mDebug << "Received " << (n > header ? n - header : 0) << " bytes on TUN" << std::endl;
    broker.tunQueue().push(buffer, n);
}

// False when no frame was read.
bool readTun(cBroker& broker, char* buffer, bool first)
{
    ssize_t count = readTunFrame(broker.tunFd(), buffer, first, broker.tunReadSize());
    // A failed read is no frame: nothing is logged or queued.
    if (count < 0)
        return false;
    countUp(daemonCounters().framesIn);
    queueFrame(broker, buffer, count);
    return true;
}

void queueDatagram(cBroker& broker, char* buffer, int n, const sockaddr_in& sender, in_addr local)
{
    // The sender's text is built only for a line that will be written.
    if (broker.mDebug.wanted())
        broker.mDebug << "Received " << n << " bytes on UDP from " << endpointText(sender)
                      << std::endl;
    broker.udpQueue().push(buffer, n, sender, local);
}

// Room for one recvmmsg: every datagram in a 2048-byte buffer of its own.
struct tUdpBatch {
    char bytes[kUdpBatch][kFrameBufferSize];
    sockaddr_in senders[kUdpBatch];
    tPktInfoControl controls[kUdpBatch];
    iovec vectors[kUdpBatch];
    mmsghdr headers[kUdpBatch];
};

// Takes what the UDP socket holds, up to one batch, without waiting. Returns
// the datagrams queued; fewer than a batch means the socket was empty.
int receiveUdp(cBroker& broker, tUdpBatch& batch)
{
    std::memset(batch.senders, 0, sizeof(batch.senders));
    std::memset(batch.headers, 0, sizeof(batch.headers));
    for (int i = 0; i < kUdpBatch; ++i) {
        batch.vectors[i].iov_base = batch.bytes[i];
        batch.vectors[i].iov_len = kFrameBufferSize;
        msghdr& h = batch.headers[i].msg_hdr;
        h.msg_name = &batch.senders[i];
        h.msg_namelen = sizeof(batch.senders[i]);
        h.msg_iov = &batch.vectors[i];
        h.msg_iovlen = 1;
        setLocalControl(h, batch.controls[i]);
    }
    int got = recvmmsg(broker.udpSocket(), batch.headers, kUdpBatch, MSG_DONTWAIT, nullptr);
    // A failed receive is no datagram: nothing is logged or queued. An empty
    // datagram (0 bytes) is queued like any other.
    if (got <= 0)
        return 0;
    countUp(daemonCounters().datagramsIn, static_cast<uint64_t>(got));
    for (int i = 0; i < got; ++i)
        queueDatagram(broker, batch.bytes[i], static_cast<int>(batch.headers[i].msg_len),
                      batch.senders[i], receivedAt(batch.headers[i].msg_hdr));
    return got;
}

// A run of datagrams too long for a receive buffer: each is queued alone,
// cut to the buffer's size.
void queueEachCut(cBroker& broker, const sReceivedRun& run)
{
    cDatagramWalk walk(run);
    const unsigned char* datagram;
    std::size_t length;
    while (walk.next(datagram, length)) {
        countUp(daemonCounters().datagramsIn);
        queueDatagram(broker, const_cast<char*>(reinterpret_cast<const char*>(datagram)),
                      static_cast<int>(std::min<std::size_t>(length, kFrameBufferSize)), run.sender,
                      run.local);
    }
}

// The same with receive offload: each run of one peer's datagrams is queued
// whole, so its worker looks its tunnel up once per datagram without a
// queue hand-off each. Returns the buffers taken.
int receiveUdpRuns(cBroker& broker, cGroBatch& batch)
{
    int got = batch.receive(broker.udpSocket());
    for (int i = 0; i < got; ++i) {
        sReceivedRun run = batch.run(i);
        if (run.segmentSize > kFrameBufferSize) {
            queueEachCut(broker, run);
            continue;
        }
        // One datagram gets the receive buffer of one: longer ones are cut.
        if ((run.segmentSize == 0 || run.segmentSize >= run.length) && run.length > kFrameBufferSize) {
            run.length = kFrameBufferSize;
            run.segmentSize = 0;
        }
        std::size_t datagrams = run.segmentSize == 0 ? 1 : (run.length + run.segmentSize - 1) / run.segmentSize;
        countUp(daemonCounters().datagramsIn, datagrams);
        if (broker.mDebug.wanted()) {
            cDatagramWalk walk(run);
            const unsigned char* datagram;
            std::size_t length;
            while (walk.next(datagram, length))
                broker.mDebug << "Received " << length << " bytes on UDP from "
                              << endpointText(run.sender) << std::endl;
        }
        broker.udpQueue().push(run.bytes, static_cast<int>(run.length), run.sender, run.local,
                               static_cast<int>(run.segmentSize));
    }
    return got;
}

} // namespace

// Settings are refused rather than bent: a table that holds no tunnel, a
// negative rate or an unknown delivery is a mistake in the file that the
// operator should see.
bool cBroker::brokerSettingsUsable()
{
    if (!configValueUsable(configKey("quib.broker.maxtunnels"), mMaxTunnels, mError)
        || !configValueUsable(configKey("quib.broker.setuprate"), mSetupRate, mError))
        return false;
    if (std::strcmp(mDelivery, "unicast") == 0 || broadcastDelivery())
        return true;
    mError << "quib.broker.delivery must be unicast or broadcast, not '" << printableText(mDelivery)
           << "'. Bailing out" << std::endl;
    return false;
}

bool cBroker::loadTunnelKeySecret()
{
    unsigned char secret[kBrokerSecretLen];
    if (!loadBrokerSecret(mKeyFile, secret, mError))
        return false;
    setTunnelKeySecret(secret);
    sodium_memzero(secret, sizeof(secret));
    setTunnelKeysRequired(requireKey());
    return true;
}

// The threads live as long as the process: handles are not kept. A broker
// without both workers would say it is ready and relay nothing.
bool cBroker::startWorkers()
{
    const struct {
        void* (*entry)(void*);
        const char* name;
    } workers[] = {{udpThreadEntry, "UDP"}, {tunThreadEntry, "TUN"}};
    for (const auto& worker : workers) {
        pthread_t thread;
        int error = pthread_create(&thread, nullptr, worker.entry, nullptr);
        if (error != 0) {
            mError << "Could not start the " << worker.name << " thread: " << std::strerror(error)
                   << ". Bailing out" << std::endl;
            return false;
        }
    }
    return true;
}

bool cBroker::openUdpSocket()
{
    mUdpSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (mUdpSocket < 0) {
        mError << "Could not create UDP socket" << std::endl;
        return false;
    }
    sockaddr_in local;
    std::memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(mPort);
    if (bind(mUdpSocket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) < 0) {
        mError << "Could not bind broker socket" << std::endl;
        return false;
    }
    // Each datagram's local address, so that every answer to that peer
    // leaves from the address it sent to.
    askForLocalAddress(mUdpSocket);
    return true;
}

// The TUN device, the UDP socket and the worker threads live until the
// process ends; a failed start leaves what it created as it is.
int cBroker::runServer()
{
    if (mPrefixLen == 0) {
        mError << "We need an IP6 Prefix at least in order to run this show in server mode. "
                  "Bailing out!!!"
               << std::endl;
        return -1;
    }
    if (!brokerSettingsUsable() || !tunMtuUsable() || !delegationsUsable())
        return -1;
    // Before the TUN device: a second daemon of the same name stops here.
    if (!openBrokerView())
        return -1;
    cOperatorView* view = mView.get();
    if (!openTun()) {
        mError << "Problems setting up the tun interface. Bailing out" << std::endl;
        return -1;
    }
    announcePrefix(mPrefix, mPrefixLen);
    in6_addr tunAddress = tunAddressFor(mPrefix);
    if (!setTunAddress(&tunAddress, mPrefixLen)) {
        mError << "Problems setting up the tun interface address. Bailing out" << std::endl;
        return -1;
    }
    if (configInt("quib.route.default") != 0 && !setDefaultRoute()) {
        mError << "Could set the default route. Bailing out" << std::endl;
        return -1;
    }
    if (!routeDelegations()) {
        mError << "Could not set the route of the routed prefixes. Bailing out" << std::endl;
        return -1;
    }
    if (!openUdpSocket()) {
        mError << "Could set setup the UDP socket. Bailing out" << std::endl;
        return -1;
    }
    if (!loadTunnelKeySecret())
        return -1;
    askForUdpRuns();
    setSharedKeepalive(static_cast<uint32_t>(configInt("quib.client.keepalive")));
    setSharedPrefix(mPrefix, mPrefixLen);
    mMode = new cBrokerMode(brokerModeSettings(*this));
    if (!startWorkers())
        return -1;
    view->ready();

    std::vector<char> buffer(tunReadSize());
    const int nfds = std::max(mTunFd, mUdpSocket) + 1;
    for (;;)
        receivePass(nfds, buffer.data(), view);
}


sBrokerModeSettings brokerModeSettings(const cBroker& broker)
{
    return sBrokerModeSettings{broker.maxTunnels(),        broker.setupRate(),
                               broker.sourceCheck(),       broker.broadcastDelivery(),
                               broker.tunOffload(),        broker.tunMtu(),
                               broker.unreachableErrors(), tunAddressFor(broker.prefix())};
}

// The view lives as long as the process, like the rest of a broker's start.
bool cBroker::openBrokerView()
{
    mView.reset(new cOperatorView());
    std::string prefix = ip6Text(mPrefix) + "/" + std::to_string(mPrefixLen);
    auto fill = [prefix](sStatusSnapshot& status, long long now) {
        status.prefix = prefix;
        fillBrokerStatus(status, now);
    };
    return mView->open(mConfigPath, fill, true, brokerSummaryNow);
}

void cBroker::receivePass(int nfds, char* buffer, cOperatorView* view)
{
    fd_set readSet;
    fd_set writeSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_SET(mTunFd, &readSet);
    FD_SET(mUdpSocket, &readSet);
    long long now = monotonicNanoseconds();
    int maxFd = nfds - 1;
    timeval limit{};
    timeval* timeout = nullptr;
    if (view != nullptr) {
        view->addTo(readSet, writeSet, maxFd);
        long long sleepMs = view->sleepLimitMs(now);
        if (sleepMs >= 0) {
            limit = {static_cast<time_t>(sleepMs / 1000), static_cast<suseconds_t>(sleepMs % 1000 * 1000)};
            timeout = &limit;
        }
    }
    int ready = select(maxFd + 1, &readSet, view != nullptr ? &writeSet : nullptr, nullptr, timeout);
    if (view != nullptr) {
        if (ready < 0) {
            FD_ZERO(&readSet);
            FD_ZERO(&writeSet);
        }
        view->serve(readSet, writeSet, monotonicNanoseconds());
    }
    if (ready <= 0)
        return;
    // Serves what is ready before going back to select, in rounds of one
    // frame then one batch of datagrams: the TUN descriptor comes first in
    // every round, as in one pass of a loop that selects each time.
    static thread_local tUdpBatch batch;
    bool tunReady = FD_ISSET(mTunFd, &readSet);
    bool udpReady = FD_ISSET(mUdpSocket, &readSet);
    int frames = 0;
    int datagrams = 0;
    while (tunReady || udpReady) {
        if (tunReady) {
            tunReady = readTun(*this, buffer, frames == 0) && ++frames < kDrainLimit;
        }
        if (udpReady && mGroBatch) {
            int got = receiveUdpRuns(*this, *mGroBatch);
            datagrams += got;
            udpReady = got == cGroBatch::kGroBatch && datagrams < kDrainLimit;
        } else if (udpReady) {
            int got = receiveUdp(*this, batch);
            datagrams += got;
            udpReady = got == kUdpBatch && datagrams < kDrainLimit;
        }
    }
}
