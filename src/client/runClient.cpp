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

// Serves the broker and the TUN device until a handler ends the run. Within
// a pass the UDP socket goes first; both reads share the one buffer.
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
        if (FD_ISSET(b.mUdpSocket, &readable)) {
            sockaddr_in from;
            std::memset(&from, 0, sizeof from);
            socklen_t fromLen = sizeof from;
            int n = static_cast<int>(recvfrom(b.mUdpSocket, buffer, sizeof buffer, 0,
                                              reinterpret_cast<sockaddr*>(&from), &fromLen));
            int result = b.handleClientDatagram(tunnel, buffer, n, from, broker);
            if (result != cBroker::CLIENT_CONTINUE)
                return result;
        }
        if (FD_ISSET(b.mTunFd, &readable)) {
            int n = static_cast<int>(read(b.mTunFd, buffer, sizeof buffer));
            b.handleClientFrame(tunnel, buffer, n, broker);
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
