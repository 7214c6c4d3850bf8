// Client mode: reach the broker, set up the tunnel with retries, then relay
// frames between the TUN device and the broker until the broker falls silent.
#include "main/cBroker.h"

#include "client/cClientMode.h"
#include "log/monotonicClock.h"
#include "net/tunFrameRead.h"
#include "tunnel/frame.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace {

const int kSelectSeconds = 10;
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
// both reads share the one buffer.
class cClientLoop {
public:
    cClientLoop(cBroker& broker, cClientMode& mode) : mBroker(broker), mMode(mode) {}

    int run()
    {
        for (;;) {
            fd_set readable;
            int result = waitReadable(readable) ? serveReady(readable)
                                                : mMode.onQuiet(monotonicSeconds());
            if (result != cClientMode::CLIENT_CONTINUE)
                return result;
        }
    }

private:
    // Both descriptors are read from the cBroker again each pass. False on a
    // time-out or any select failure (both are handled as a time-out).
    bool waitReadable(fd_set& readable)
    {
        FD_ZERO(&readable);
        FD_SET(mBroker.tunFd(), &readable);
        FD_SET(mBroker.udpSocket(), &readable);
        timeval timeout = {kSelectSeconds, 0};
        int nfds = std::max(mBroker.tunFd(), mBroker.udpSocket()) + 1;
        return select(nfds, &readable, nullptr, nullptr, &timeout) > 0;
    }

    int serveReady(const fd_set& readable)
    {
        bool udpReady = FD_ISSET(mBroker.udpSocket(), &readable);
        bool tunReady = FD_ISSET(mBroker.tunFd(), &readable);
        for (int round = 0; round < kDrainLimit && (udpReady || tunReady); ++round) {
            if (udpReady) {
                int result = cClientMode::CLIENT_CONTINUE;
                udpReady = serveDatagram(round == 0, result);
                if (result != cClientMode::CLIENT_CONTINUE)
                    return result;
            }
            if (tunReady)
                tunReady = serveFrame(round == 0);
        }
        return cClientMode::CLIENT_CONTINUE;
    }

    // The first read follows select and may block; later ones return at
    // once when nothing is waiting, and such an empty read is the end of the
    // drain, not an event. False when the socket is done for this wake-up.
    bool serveDatagram(bool first, int& result)
    {
        sockaddr_in from;
        std::memset(&from, 0, sizeof from);
        socklen_t fromLen = sizeof from;
        int n = static_cast<int>(recvfrom(mBroker.udpSocket(), mBuffer, kFrameBufferSize,
                                          first ? 0 : MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&from), &fromLen));
        if (n < 0 && !first)
            return false;
        result = mMode.onDatagram(mBuffer, n, from, monotonicSeconds());
        return n >= 0;
    }

    bool serveFrame(bool first)
    {
        int n = static_cast<int>(readTunFrame(mBroker.tunFd(), mBuffer, first));
        if (n < 0 && !first)
            return false;
        mMode.onFrame(mBuffer, n);
        return n >= 0;
    }

    cBroker& mBroker;
    cClientMode& mMode;
    char mBuffer[kFrameBufferSize];
};

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
    // The socket and the TUN device live until the run returns; the process
    // ends right after, so neither is released.
    mUdpSocket = sock;
    if (!openTun()) {
        mError << "Problems setting up the tun interface. Bailing out" << std::endl;
        return -1;
    }
    cClientMode mode(*this, broker);
    mode.start();
    return cClientLoop(*this, mode).run();
}
