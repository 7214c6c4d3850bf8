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
      mLimitPacer(kReportSeconds)
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
            relayData(buffer, n);
        else
            echoKeepalive(buffer, n, sender);
        tunnel->release();
    }
    reportHeldOffers(now);
}

void cBrokerMode::flushReports(long long now)
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    reportTableLimit(now);
    reportHeldOffers(now);
}

void cBrokerMode::handleTunFrame(char* buffer, int n)
{
    if (mBroker.mDebug.wanted())
        mBroker.mDebug << "Got " << n << " bytes from the TUN Q protocol "
                       << frameProtocol(buffer, n) << " flags 0x"
                       << hexText(frameFlags(buffer, n)) << std::endl;
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    sendToAllTunnels(mBroker.udpSocket(), buffer, n);
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

void cBrokerMode::relayData(char* buffer, int n)
{
    mBroker.mDebug << "Forward to TUN" << std::endl;
    // A failed write loses this frame only; the tunnel carries on.
    ssize_t written = write(mBroker.tunFd(), buffer, static_cast<size_t>(n));
    (void)written;
    forwardToTunnel(mBroker.udpSocket(), buffer, n);
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

void cBrokerMode::reportHeldOffers(long long now)
{
    if (mHeld.since == 0 || !mHeldPacer.due(now / kNanosPerSecond))
        return;
    mBroker.mInfo << "Setup rate exceeded: " << mHeld.since
                  << " offers held back since the last report" << std::endl;
    mHeld.since = 0;
}
