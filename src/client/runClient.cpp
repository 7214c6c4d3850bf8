// Client mode: reach the broker, set up the tunnel with retries, then relay
// frames between the TUN device and the broker until the broker falls silent.
#include "main/cBroker.h"

#include "config/cConfig.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace {

const int kBufferSize = 2048;
const int kSelectSeconds = 10;

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

// Waits at most ten seconds for either descriptor; false on a time-out or
// any select failure (both are handled as a time-out).
bool waitReadable(const cBroker& b, int nfds, fd_set& readable)
{
    FD_ZERO(&readable);
    FD_SET(b.mTunFd, &readable);
    FD_SET(b.mUdpSocket, &readable);
    timeval timeout;
    timeout.tv_sec = kSelectSeconds;
    timeout.tv_usec = 0;
    return select(nfds, &readable, nullptr, nullptr, &timeout) > 0;
}

// Datagrams or frames one wake-up serves from each descriptor at most.
const int kDrainLimit = 64;

// One datagram for a round of the loop. The first read follows select and may
// block; later ones return at once when nothing is waiting, and such an
// empty read is the end of the drain, not an event. False when the socket is
// done for this wake-up or the run has ended (result set).
bool serveDatagram(cBroker& b, cTunnel& tunnel, const sockaddr_in& broker, char* buffer,
                   bool first, int& result)
{
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t fromLen = sizeof from;
    int n = static_cast<int>(recvfrom(b.mUdpSocket, buffer, kBufferSize, first ? 0 : MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &fromLen));
    if (n < 0 && !first)
        return false;
    result = b.handleClientDatagram(tunnel, buffer, n, from, broker);
    return n >= 0 && result == cBroker::CLIENT_CONTINUE;
}

bool serveFrame(cBroker& b, cTunnel& tunnel, const sockaddr_in& broker, char* buffer, bool first)
{
    int n;
    if (first) {
        n = static_cast<int>(read(b.mTunFd, buffer, kBufferSize));
    } else {
        // The descriptor stays blocking; only this read must not wait.
        iovec into = {buffer, static_cast<size_t>(kBufferSize)};
        n = static_cast<int>(preadv2(b.mTunFd, &into, 1, -1, RWF_NOWAIT));
        if (n < 0)
            return false;
    }
    b.handleClientFrame(tunnel, buffer, n, broker);
    return n >= 0;
}

// Serves the broker and the TUN device until a handler ends the run. After
// each select it serves what is ready before sleeping again, in rounds of
// one datagram then one frame (the UDP socket first, as in one pass of a loop
// that selects each time); both reads share the one buffer.
int clientLoop(cBroker& b, cTunnel& tunnel, cTSPMsg& request, const sockaddr_in& broker, int nfds)
{
    char buffer[kBufferSize];
    for (;;) {
        fd_set readable;
        if (!waitReadable(b, nfds, readable)) {
            int result = b.handleClientTimeout(tunnel, request, broker);
            if (result != cBroker::CLIENT_CONTINUE)
                return result;
            continue;
        }
        bool udpReady = FD_ISSET(b.mUdpSocket, &readable);
        bool tunReady = FD_ISSET(b.mTunFd, &readable);
        for (int round = 0; round < kDrainLimit && (udpReady || tunReady); ++round) {
            if (udpReady) {
                int result = cBroker::CLIENT_CONTINUE;
                udpReady = serveDatagram(b, tunnel, broker, buffer, round == 0, result);
                if (result != cBroker::CLIENT_CONTINUE)
                    return result;
            }
            if (tunReady)
                tunReady = serveFrame(b, tunnel, broker, buffer, round == 0);
        }
    }
}

} // namespace

int cBroker::runClient()
{
    if (mBrokerAddress == nullptr) {
        std::cout << "Cannot run the client without knowing where to connect to. Bailing Out !"
                  << std::endl;
        return -1;
    }
    if (!tunMtuUsable())
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
    // The socket, the TUN device, the tunnel and the request live until the
    // run returns; the process ends right after, so none is released.
    mUdpSocket = sock;
    if (!openTun()) {
        mError << "Problems setting up the tun interface. Bailing out" << std::endl;
        return -1;
    }
    int nfds = std::max(mTunFd, mUdpSocket) + 1;
    int keepalive = cConfig::getInt("quib.client.keepalive", 30);
    cTunnel* tunnel = new cTunnel();
    tunnel->setId(readTunnelId());
    tunnel->setKeepalive(keepalive);
    cTSPMsg* request = tunnel->makeRequest();
    sendToBroker(request->getData(), request->getLen(), broker);
    return clientLoop(*this, *tunnel, *request, broker, nfds);
}

void cBroker::sendToBroker(const void* data, int len, const sockaddr_in& broker)
{
    sendto(mUdpSocket, data, len, 0, reinterpret_cast<const sockaddr*>(&broker), sizeof broker);
}
