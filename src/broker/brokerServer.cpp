// Broker mode on the main thread: start sequence and receive loop.
#include "main/cBroker.h"

#include "broker/ipv4Text.h"
#include "config/cConfig.h"
#include "tunnel/cTunnel.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace {

void announcePrefix(const in6_addr& prefix, uint8_t prefixLen)
{
    char text[128];
    if (inet_ntop(AF_INET6, &prefix, text, sizeof(text)) == nullptr)
        text[0] = '\0';
    std::cout << "Will use prefix '" << text << "'/" << static_cast<unsigned>(prefixLen)
              << "for tun addesses" << std::endl;
}

// The broker's own TUN address: the prefix with its last byte set to 1.
in6_addr tunAddressFor(const in6_addr& prefix)
{
    in6_addr address = prefix;
    address.s6_addr[15] = 1;
    return address;
}

// Both limits are refused rather than bent: a table that holds no tunnel, or
// a negative rate, is a mistake in the file that the operator should see.
bool floodLimitsUsable(cBroker& broker)
{
    if (broker.mMaxTunnels < 1) {
        broker.mError << "quib.broker.maxtunnels must be 1 or more, not " << broker.mMaxTunnels
                      << ". Bailing out" << std::endl;
        return false;
    }
    if (broker.mSetupRate < 0) {
        broker.mError << "quib.broker.setuprate must be 0 (no limit) or more, not "
                      << broker.mSetupRate << ". Bailing out" << std::endl;
        return false;
    }
    return true;
}

void startWorkers()
{
    // The threads live as long as the process: handles are not kept.
    pthread_t thread;
    pthread_create(&thread, nullptr, udpThreadEntry, nullptr);
    pthread_create(&thread, nullptr, tunThreadEntry, nullptr);
}

void readTun(cBroker& broker, char* buffer)
{
    ssize_t count = read(broker.mTunFd, buffer, cBroker::kFrameBufferSize);
    // A failed read is no frame: nothing is logged or queued.
    if (count < 0)
        return;
    int n = static_cast<int>(count);
    broker.mDebug << "Received " << n << " bytes on TUN" << std::endl;
    broker.mTunQueue.push(buffer, n);
}

void receiveUdp(cBroker& broker, char* buffer)
{
    sockaddr_in sender;
    std::memset(&sender, 0, sizeof(sender));
    socklen_t senderLen = sizeof(sender);
    ssize_t count = recvfrom(broker.mUdpSocket, buffer, cBroker::kFrameBufferSize, 0,
                             reinterpret_cast<sockaddr*>(&sender), &senderLen);
    // A failed receive is no datagram: nothing is logged or queued. An empty
    // datagram (0 bytes) is queued like any other.
    if (count < 0)
        return;
    int n = static_cast<int>(count);
    broker.mDebug << "Received " << n << " bytes on UDP from " << ipv4Text(sender) << ":"
                  << ntohs(sender.sin_port) << std::endl;
    broker.mUdpQueue.push(buffer, n, sender);
}

} // namespace

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
    if (!floodLimitsUsable(*this) || !tunMtuUsable())
        return -1;
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
    if (cConfig::getInt("quib.route.default", 0) != 0 && !setDefaultRoute()) {
        mError << "Could set the default route. Bailing out" << std::endl;
        return -1;
    }
    if (!openUdpSocket()) {
        mError << "Could set setup the UDP socket. Bailing out" << std::endl;
        return -1;
    }
    setSharedKeepalive(static_cast<uint32_t>(cConfig::getInt("quib.client.keepalive", 30)));
    setSharedPrefix(mPrefix, mPrefixLen);
    gMaxTunnels = mMaxTunnels;
    startWorkers();

    char buffer[kFrameBufferSize];
    const int nfds = std::max(mTunFd, mUdpSocket) + 1;
    for (;;)
        receivePass(nfds, buffer);
}

void cBroker::receivePass(int nfds, char* buffer)
{
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(mTunFd, &readSet);
    FD_SET(mUdpSocket, &readSet);
    if (select(nfds, &readSet, nullptr, nullptr, nullptr) <= 0)
        return;
    // The TUN descriptor is served first within one pass.
    if (FD_ISSET(mTunFd, &readSet))
        readTun(*this, buffer);
    if (FD_ISSET(mUdpSocket, &readSet))
        receiveUdp(*this, buffer);
}
