// Broker mode's two worker threads: the UDP worker (relay and setup) and the
// TUN worker (broadcast to every established tunnel).
#include "main/cBroker.h"

#include "broker/ipv4Text.h"
#include "log/logText.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

namespace {

// Datagrams of at most this many bytes from an established tunnel are
// keepalives; longer ones are TUN frames.
const int kKeepaliveMax = 4;
const int kWaitSeconds = 5;

int sendToPeer(int sock, const char* data, int len, const sockaddr_in& peer)
{
    return static_cast<int>(sendto(sock, data, static_cast<size_t>(len), 0,
                                   reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)));
}

void relayData(cBroker& broker, char* buffer, int n)
{
    broker.mDebug << "Forward to TUN" << std::endl;
    // A failed write loses this frame only; the tunnel carries on.
    ssize_t written = write(broker.mTunFd, buffer, static_cast<size_t>(n));
    (void)written;
    forwardToTunnel(broker.mUdpSocket, buffer, n);
}

void echoKeepalive(cBroker& broker, char* buffer, int n, const sockaddr_in& sender)
{
    broker.mDebug << "Echo Keepalive" << std::endl;
    sendToPeer(broker.mUdpSocket, buffer, n, sender);
}

void sendReply(cBroker& broker, cTSPMsg* reply, const sockaddr_in& sender)
{
    std::string address = ipv4Text(sender);
    unsigned port = ntohs(sender.sin_port);
    broker.mInfo << "Config msg from " << address << ":" << port << std::endl;
    reply->dump();
    int r = sendToPeer(broker.mUdpSocket, reply->getData(), reply->getLen(), sender);
    if (r < 1)
        broker.mInfo << "UDP Transmit Error " << r << std::endl;
    else
        broker.mDebug << "Sent " << r << " bytes to " << address << ":" << port << std::endl;
}

long long monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// The exchange has run and moved the tunnel's state; only the datagram that
// answers it waits for the sender's address to be due another one.
void holdBack(cBroker& broker, const sockaddr_in& sender)
{
    broker.mDebug << "Setup rate exceeded, offer to " << ipv4Text(sender) << ":"
                  << ntohs(sender.sin_port) << " held back" << std::endl;
    broker.mHeldOffers.add(0);
}

void answerSetup(cBroker& broker, cTunnel* tunnel, char* buffer, int n,
                 const sockaddr_in& sender)
{
    cTSPMsg* reply = tunnel->handleMsg(buffer, n);
    if (reply == nullptr)
        return;
    if (broker.mSetupLimiter.allow(sender.sin_addr.s_addr, monotonicNanoseconds()))
        sendReply(broker, reply, sender);
    else
        holdBack(broker, sender);
    delete reply;
}

void reportHeldOffers(cBroker& broker)
{
    if (!broker.mHeldOffers.pending())
        return;
    unsigned long since[2];
    if (!broker.mHeldOffers.takeSummary(monotonicSeconds(), since))
        return;
    broker.mInfo << "Setup rate exceeded: " << since[0]
                 << " offers held back since the last report" << std::endl;
}

cTunnel* tunnelFor(cBroker& broker, const sockaddr_in& sender)
{
    try {
        return findOrAdmitTunnel(sender);
    } catch (const std::bad_alloc&) {
        // No memory for a new tunnel: drop this datagram rather than the
        // whole daemon; later datagrams may find memory again.
        broker.mError << "No memory for a new tunnel, datagram dropped" << std::endl;
        return nullptr;
    }
}

// Frame bytes 0-1: flags in host order; bytes 2-3: protocol, big-endian.
// A field the frame does not hold completely is shown as 0, so the line
// never shows bytes beyond the frame.
unsigned frameFlags(const char* frame, int n)
{
    if (n < 2)
        return 0;
    uint16_t flags;
    std::memcpy(&flags, frame, sizeof(flags));
    return flags;
}

unsigned frameProtocol(const char* frame, int n)
{
    if (n < 4)
        return 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame);
    return (static_cast<unsigned>(bytes[2]) << 8) | bytes[3];
}

} // namespace

void cBroker::handleUdpDatagram(char* buffer, int n, const sockaddr_in& sender)
{
    mDebug << "Got " << n << " bytes from the UDP Q" << std::endl;
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    // Null: no memory, or a full table of tunnels that must stay. The
    // datagram is dropped and there is no hold to give back.
    cTunnel* tunnel = tunnelFor(*this, sender);
    if (tunnel != nullptr) {
        if (!tunnel->isEstablished())
            answerSetup(*this, tunnel, buffer, n, sender);
        else if (n > kKeepaliveMax)
            relayData(*this, buffer, n);
        else
            echoKeepalive(*this, buffer, n, sender);
        tunnel->release();
    }
    reportHeldOffers(*this);
}

void cBroker::handleTunFrame(char* buffer, int n)
{
    if (mDebug.wanted())
        mDebug << "Got " << n << " bytes from the TUN Q protocol " << frameProtocol(buffer, n)
               << " flags 0x" << hexText(frameFlags(buffer, n)) << std::endl;
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    sendToAllTunnels(mUdpSocket, buffer, n);
}

void cBroker::udpThread()
{
    mInfo << "Starting UDP thread..." << std::endl;
    char buffer[kFrameBufferSize];
    sockaddr_in sender;
    for (;;) {
        if (!mUdpQueue.wait(kWaitSeconds))
            continue;
        std::memset(&sender, 0, sizeof(sender));
        int n = mUdpQueue.pop(buffer, sizeof(buffer), &sender);
        handleUdpDatagram(buffer, n, sender);
    }
}

void cBroker::tunThread()
{
    mInfo << "Starting TUN thread..." << std::endl;
    char buffer[kFrameBufferSize];
    for (;;) {
        if (!mTunQueue.wait(kWaitSeconds))
            continue;
        int n = mTunQueue.pop(buffer, sizeof(buffer));
        handleTunFrame(buffer, n);
    }
}

// Both entry functions reach the one cBroker through gBroker, set before the
// threads start; their argument is unused.
void* udpThreadEntry(void*)
{
    gBroker->udpThread();
    return nullptr;
}

void* tunThreadEntry(void*)
{
    gBroker->tunThread();
    return nullptr;
}
