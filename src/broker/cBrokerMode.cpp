#include "broker/cBrokerMode.h"

#include "log/logText.h"
#include "log/monotonicClock.h"
#include "main/cBroker.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"
#include "tunnel/frame.h"
#include "tunnel/keyedHash.h"
#include "tunnel/tunnelTable.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace {

// Offers one source address may get at once before the steady rate applies.
const int kSetupBurst = 5;
const long long kReportSeconds = 10;

} // namespace

cBrokerMode::cBrokerMode(cBroker& broker)
    : mBroker(broker),
      // The broker refuses a limit below 1 at start; should one reach here,
      // the table still holds one tunnel.
      mMaxTunnels(broker.maxTunnels() < 1 ? 1 : static_cast<std::size_t>(broker.maxTunnels())),
      mSetupLimiter(broker.setupRate(), kSetupBurst, hashSeed()),
      mHeldPacer(kReportSeconds),
      mLimitPacer(kReportSeconds),
      mSourceCheck(broker.sourceCheck()),
      mRefusedDataPacer(kReportSeconds),
      mBroadcast(broker.broadcastDelivery()),
      mUndeliveredPacer(kReportSeconds)
{
}

void cBrokerMode::handleUdpDatagram(char* buffer, int n, const sockaddr_in& sender, long long now)
{
    mBroker.mDebug << "Got " << n << " bytes from the UDP Q" << std::endl;
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    // Null: no memory, or a full table of tunnels that must stay. The
    // datagram is dropped and there is no hold to give back.
    cTunnel* tunnel = admit(sender);
    reportTableLimit(now);
    if (tunnel != nullptr) {
        if (!tunnel->isEstablished())
            answerSetup(tunnel, buffer, n, sender, now);
        else if (n > kKeepaliveMax)
            relayData(tunnel, buffer, n, sender);
        else
            echoKeepalive(buffer, n, sender);
        tunnel->release();
    }
    reportHeldOffers(now);
    reportRefusedData(now);
}

void cBrokerMode::flushReports(long long now)
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    reportTableLimit(now);
    reportHeldOffers(now);
    reportRefusedData(now);
}

void cBrokerMode::handleTunFrame(char* buffer, int n, long long now)
{
    if (mBroker.mDebug.wanted())
        mBroker.mDebug << "Got " << n << " bytes from the TUN Q protocol "
                       << frameProtocol(buffer, n) << " flags 0x"
                       << hexText(frameFlags(buffer, n)) << std::endl;
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    const unsigned char* destination = frameAddress(buffer, n, kDestinationAt);
    if (mBroadcast || (destination != nullptr && isMulticast(destination))) {
        sendToAllTunnels(mBroker.udpSocket(), buffer, n);
    } else if (const cTunnel* t = destination ? gTunnels.findEstablished(destination) : nullptr) {
        sendToTunnel(mBroker.udpSocket(), buffer, n, t);
    } else {
        // Nobody here holds that address: sending it to every client would
        // show each of them the others' traffic.
        mBroker.mDebug << "No tunnel for the frame's destination, " << n << " bytes dropped"
                       << std::endl;
        mUndelivered.add();
    }
    flushTunReports(now);
}

void cBrokerMode::flushTunReports(long long now)
{
    if (mUndelivered.since == 0 || !mUndeliveredPacer.due(now / kNanosPerSecond))
        return;
    mBroker.mInfo << "No tunnel for the destination: " << mUndelivered.since
                  << " frames from the TUN device dropped since the last report" << std::endl;
    mUndelivered.since = 0;
}

// The sender's tunnel with a hold taken, within the table's limit.
cTunnel* cBrokerMode::admit(const sockaddr_in& sender)
{
    try {
        if (gTunnels.findByPeer(sender) == nullptr && !makeRoomFor(sender))
            return nullptr;
        return findOrCreateTunnel(sender);
    } catch (const std::bad_alloc&) {
        // No memory for a new tunnel: drop this datagram rather than the
        // whole daemon; later datagrams may find memory again.
        mBroker.mError << "No memory for a new tunnel, datagram dropped" << std::endl;
        return nullptr;
    }
}

// A new endpoint that finds the table full takes the place of the oldest
// tunnel that nobody holds and that never completed the exchange: no real
// client is known to use it. False when the table is full of tunnels that
// must stay.
bool cBrokerMode::makeRoomFor(const sockaddr_in& sender)
{
    while (gTunnels.size() >= mMaxTunnels) {
        cTunnel* victim = gTunnels.oldestUnfinished();
        if (victim == nullptr) {
            gTunnelLog.mDebug << "Tunnel table full, dropping datagram from "
                              << endpointText(sender) << std::endl;
            mRefused.add();
            return false;
        }
        gTunnelLog.mDebug << "Tunnel table full, evicting unfinished tunnel of "
                          << endpointText(victim->getPeer()) << std::endl;
        dropTunnel(victim);
        mEvicted.add();
    }
    return true;
}

void cBrokerMode::answerSetup(cTunnel* tunnel, char* buffer, int n, const sockaddr_in& sender,
                              long long now)
{
    cTSPMsg* reply = handleTunnelMsg(tunnel, buffer, n);
    if (reply == nullptr)
        return;
    std::string address = ipv4Text(sender);
    unsigned port = ntohs(sender.sin_port);
    if (mSetupLimiter.allow(sender.sin_addr.s_addr, now)) {
        mBroker.mInfo << "Config msg from " << address << ":" << port << std::endl;
        reply->dump();
        int r = sendToPeer(reply->getData(), reply->getLen(), sender);
        if (r < 1)
            mBroker.mInfo << "UDP Transmit Error " << r << std::endl;
        else
            mBroker.mDebug << "Sent " << r << " bytes to " << address << ":" << port << std::endl;
    } else {
        // The exchange has run and moved the tunnel's state; only the
        // datagram that answers it waits for the address to be due another.
        mBroker.mDebug << "Setup rate exceeded, offer to " << address << ":" << port
                       << " held back" << std::endl;
        mHeld.add();
    }
    delete reply;
}

void cBrokerMode::relayData(const cTunnel* tunnel, char* buffer, int n,
                            const sockaddr_in& sender)
{
    if (!dataUsable(tunnel, buffer, n, sender))
        return;
    mBroker.mDebug << "Forward to TUN" << std::endl;
    // A failed write loses this frame only; the tunnel carries on.
    ssize_t written = write(mBroker.tunFd(), buffer, static_cast<size_t>(n));
    (void)written;
    forwardToTunnel(mBroker.udpSocket(), buffer, n);
}

// Only IPv6 may enter the broker's stack from a tunnel, and, unless the
// operator turned the check off, only from the client's own address: a
// client must not pose as another client or as any other host.
bool cBrokerMode::dataUsable(const cTunnel* tunnel, const char* buffer, int n,
                             const sockaddr_in& sender)
{
    if (!holdsIp6Packet(buffer, n)) {
        mBroker.mDebug << "Dropped " << n << " bytes from " << endpointText(sender)
                       << ": not an IPv6 packet" << std::endl;
        mNotIp6.add();
        return false;
    }
    const unsigned char* source = frameAddress(buffer, n, kSourceAt);
    if (mSourceCheck && std::memcmp(source, tunnel->getAddr(), kIp6AddressLen) != 0) {
        mBroker.mDebug << "Dropped " << n << " bytes from " << endpointText(sender)
                       << ": source is not the tunnel's address" << std::endl;
        mSpoofed.add();
        return false;
    }
    return true;
}

void cBrokerMode::echoKeepalive(char* buffer, int n, const sockaddr_in& sender)
{
    mBroker.mDebug << "Echo Keepalive" << std::endl;
    sendToPeer(buffer, n, sender);
}

int cBrokerMode::sendToPeer(const char* data, int len, const sockaddr_in& peer)
{
    return static_cast<int>(sendto(mBroker.udpSocket(), data, static_cast<size_t>(len), 0,
                                   reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)));
}

// Called with gTunnelsLock held: the lines go to the table's logger.
void cBrokerMode::reportTableLimit(long long now)
{
    if (mEvicted.since == 0 && mRefused.since == 0)
        return;
    if (!mLimitPacer.due(now / kNanosPerSecond))
        return;
    gTunnelLog.mInfo << "Tunnel table at its limit of " << mMaxTunnels << ": " << mEvicted.since
                     << " unfinished tunnels evicted, " << mRefused.since
                     << " datagrams from new endpoints dropped since the last report" << std::endl;
    mEvicted.since = 0;
    mRefused.since = 0;
}

void cBrokerMode::reportRefusedData(long long now)
{
    if ((mNotIp6.since == 0 && mSpoofed.since == 0) || !mRefusedDataPacer.due(now / kNanosPerSecond))
        return;
    mBroker.mInfo << "Data refused: " << mNotIp6.since << " datagrams without an IPv6 packet and "
                  << mSpoofed.since
                  << " with a source other than their tunnel's address since the last report"
                  << std::endl;
    mNotIp6.since = 0;
    mSpoofed.since = 0;
}

void cBrokerMode::reportHeldOffers(long long now)
{
    if (mHeld.since == 0 || !mHeldPacer.due(now / kNanosPerSecond))
        return;
    mBroker.mInfo << "Setup rate exceeded: " << mHeld.since
                  << " offers held back since the last report" << std::endl;
    mHeld.since = 0;
}
