#include "broker/cBrokerMode.h"

#include "log/logText.h"
#include "log/monotonicClock.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cDelegationTable.h"
#include "tunnel/cTunnel.h"
#include "packet/frame.h"
#include "tunnel/keyedHash.h"
#include "tunnel/tunnelKey.h"
#include "packet/cPacketHost.h"
#include "packet/tunOffloadIo.h"
#include "tunnel/tunnelTable.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

namespace {

// Offers one source address may get at once before the steady rate applies.
const int kSetupBurst = 5;
const long long kReportSeconds = 10;
// A client that is setting up asks again this often, until it has an offer.
const long long kSetupRetrySeconds = 10;

} // namespace

cBrokerMode::cBrokerMode(const sBrokerModeSettings& settings)
    : cWlog("cBroker"),
      // The broker refuses a limit below 1 at start; should one reach here,
      // the table still holds one tunnel.
      mMaxTunnels(settings.maxTunnels < 1 ? 1 : static_cast<std::size_t>(settings.maxTunnels)),
      mSetupLimiter(settings.setupRate, kSetupBurst, hashSeed()),
      mHeld(daemonCounters().dropped[DROP_OFFER_HELD]),
      mHeldPacer(kReportSeconds),
      mEvicted(daemonCounters().evictions),
      mRefused(daemonCounters().dropped[DROP_TABLE_FULL]),
      mLimitPacer(kReportSeconds),
      mSourceCheck(settings.sourceCheck),
      mNotIp6(daemonCounters().dropped[DROP_BAD_FRAME]),
      mSpoofed(daemonCounters().dropped[DROP_SPOOFED_SOURCE]),
      mLinkLocal(daemonCounters().dropped[DROP_LINK_LOCAL]),
      mRefusedDataPacer(kReportSeconds),
      mPoolFullPacer(kReportSeconds),
      mUnreachable(settings.unreachable, settings.tunAddress, hashSeed()),
      mUnreachablePacer(kReportSeconds),
      mBroadcast(settings.broadcastDelivery),
      mTunOffload(settings.tunOffload),
      mTunMtu(settings.tunMtu),
      mUndelivered(daemonCounters().dropped[DROP_NO_TUNNEL]),
      mUndeliveredPacer(kReportSeconds)
{
}

void cBrokerMode::handleUdpDatagram(cPacketHost& host, char* buffer, int n,
                                    const sockaddr_in& sender, long long now, in_addr local)
{
    mDebug << "Got " << n << " bytes from the UDP Q" << std::endl;
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    // A new endpoint that asks for a key costs no table slot until it proves
    // it holds the key: its request is answered from what it holds alone.
    std::optional<cTSPMsg> said;
    if (tunnelKeysEnabled() && gTunnels.findByPeer(sender) == nullptr) {
        said.emplace(buffer, n, cTSPMsg::sQuietCopy{});
        if (said->getType() == TSP_REQUEST && said->getTunnelKey() != nullptr) {
            answerWithoutTunnel(host, buffer, n, sender, now, local);
            reportHeldOffers(now);
            return;
        }
    }
    bool keyedAccept = said && said->getType() == TSP_ACCEPT && said->getTunnelId() != 0
        && !identifierReserved(said->getTunnelId())
        && tunnelKeyValid(said->getTunnelId(), said->getTunnelKey());
    // Null: no memory, or a full table of tunnels that must stay. The
    // datagram is dropped and there is no hold to give back.
    cTunnel* tunnel = admit(buffer, n, sender, now);
    reportTableLimit(now);
    if (tunnel != nullptr) {
        // Everything this tunnel is sent leaves from the address its peer
        // last sent to.
        tunnel->setLocal(local);
        // A keyed accept always makes its tunnel, which cannot be
        // established yet.
        if (tunnel->isEstablished()) {
            relayEstablished(host, tunnel, buffer, n, sender, now);
        } else {
            tunnel->countReceived(static_cast<std::size_t>(n > 0 ? n : 0));
            if (keyedAccept) {
                tunnel->establishWithKey(said->getTunnelId(),
                                         std::max(said->getKeepalive(), gKeepalive),
                                         said->getTunnelKey(), said->getRoutedPrefix());
                gTunnels.update(tunnel);
            } else {
                answerSetup(host, tunnel, buffer, n, sender, now);
            }
        }
        // Whatever it sent, its peer is still there. After the exchange, so
        // that a keepalive a request has just set counts.
        tunnel->touch(now);
        gTunnels.heard(tunnel);
        tunnel->release();
    }
    reportHeldOffers(now);
    reportRefusedData(now);
    reportPoolFull(now);
    reportUnreachable(now);
}

void cBrokerMode::handleUdpRun(cPacketHost& host, char* buffer, int n, int segment,
                               const sockaddr_in& sender, long long now, in_addr local)
{
    sReceivedRun run{reinterpret_cast<unsigned char*>(buffer), static_cast<std::size_t>(n), sender,
                     local, static_cast<std::size_t>(segment)};
    if (relayRun(host, run, now)) {
        reportRefusedData(now);
        return;
    }
    cDatagramWalk walk(run);
    const unsigned char* datagram;
    std::size_t length;
    while (walk.next(datagram, length))
        handleUdpDatagram(host, const_cast<char*>(reinterpret_cast<const char*>(datagram)),
                          static_cast<int>(length), sender, now, local);
}

// True when the sender's established tunnel took the whole run under one
// hold of the lock.
bool cBrokerMode::relayRun(cPacketHost& host, const sReceivedRun& run, long long now)
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    cTunnel* tunnel = gTunnels.findByPeer(run.sender);
    if (tunnel == nullptr || !tunnel->isEstablished())
        return false;
    tunnel->setLocal(run.local);
    cDatagramWalk walk(run);
    const unsigned char* datagram;
    std::size_t length;
    while (walk.next(datagram, length)) {
        if (mDebug.wanted())
            mDebug << "Got " << length << " bytes from the UDP Q" << std::endl;
        relayEstablished(host, tunnel, const_cast<char*>(reinterpret_cast<const char*>(datagram)),
                         static_cast<int>(length), run.sender, now);
    }
    tunnel->touch(now);
    gTunnels.heard(tunnel);
    return true;
}

// One datagram of an established tunnel, alone or from a run: data is
// relayed, a keepalive echoed.
void cBrokerMode::relayEstablished(cPacketHost& host, cTunnel* tunnel, char* buffer, int n,
                                   const sockaddr_in& sender, long long now)
{
    tunnel->countReceived(static_cast<std::size_t>(n > 0 ? n : 0));
    if (n > kKeepaliveMax)
        relayData(host, tunnel, buffer, n, sender, now);
    else
        echoKeepalive(host, tunnel, buffer, n);
}

void cBrokerMode::flushReports(long long now)
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    reportTableLimit(now);
    reportHeldOffers(now);
    reportRefusedData(now);
    reportPoolFull(now);
    reportUnreachable(now);
}

void cBrokerMode::handleTunFrame(cPacketHost& host, char* buffer, int n, long long now)
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    routeFrame(host, buffer, n, now);
    sendGathered(host);
    flushTunReports(now);
}

void cBrokerMode::handleTunRun(cPacketHost& host, const unsigned char* frames,
                               const sWireFrames& cut, long long now)
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    routeRun(host, frames, cut, now);
    flushTunReports(now);
}

void cBrokerMode::handleTunBatch(cPacketHost& host, char* bytes, const cPktQueue::sPopped* popped,
                                 int count, long long now)
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    for (int i = 0; i < count; ++i) {
        char* entry = bytes + popped[i].offset;
        if (mTunOffload)
            routeRead(host, entry, popped[i].length, now);
        else
            routeFrame(host, entry, popped[i].length, now);
    }
    sendGathered(host);
    flushTunReports(now);
}

// A read with the virtio header, cut into the wire frames it makes.
void cBrokerMode::routeRead(cPacketHost& host, char* read, int n, long long now)
{
    sWireFrames cut;
    if (!wireFramesOfRead(read, n, mTunMtu, mCutFrames, cut))
        dropTunRead(n);
    else if (cut.count == 1)
        routeFrame(host, reinterpret_cast<char*>(mCutFrames.data()), static_cast<int>(cut.lastSize),
                   now);
    else
        routeRun(host, mCutFrames.data(), cut, now);
}

void cBrokerMode::routeFrame(cPacketHost& host, char* buffer, int n, long long now)
{
    if (mDebug.wanted())
        mDebug << "Got " << n << " bytes from the TUN Q protocol "
                       << frameProtocol(buffer, n) << " flags 0x"
                       << hexText(frameFlags(buffer, n)) << std::endl;
    sDelivery to = deliveryFor(buffer, n, mBroadcast);
    if (to.to == sDelivery::ALL) {
        // What was gathered before it leaves before it.
        sendGathered(host);
        deliver(host, to, buffer, n);
    } else if (to.to == sDelivery::ONE) {
        gather(host, to.tunnel, buffer, n);
    } else {
        // Nobody here holds that address: sending it to every client would
        // show each of them the others' traffic.
        mDebug << "No tunnel for the frame's destination, " << n << " bytes dropped"
                       << std::endl;
        mUndelivered.add();
        if (to.unheld)
            answerUnheld(host, buffer, n, now);
    }
}

void cBrokerMode::routeRun(cPacketHost& host, const unsigned char* frames, const sWireFrames& cut,
                           long long now)
{
    const char* first = reinterpret_cast<const char*>(frames);
    int firstLen = static_cast<int>(cut.count > 1 ? cut.frameSize : cut.lastSize);
    if (mDebug.wanted())
        mDebug << "Got " << cut.totalSize() << " bytes from the TUN Q in " << cut.count
                       << " frames" << std::endl;
    sendGathered(host);
    sDelivery to = deliveryFor(first, firstLen, mBroadcast);
    if (to.to == sDelivery::ALL) {
        for (const cTunnel* t : gTunnels)
            if (t->isEstablished())
                sendRun(host, frames, cut, t);
    } else if (to.to == sDelivery::ONE) {
        sendRun(host, frames, cut, to.tunnel);
    } else {
        mDebug << "No tunnel for the frame's destination, " << cut.totalSize()
                       << " bytes dropped" << std::endl;
        for (std::size_t i = 0; i < cut.count; ++i)
            mUndelivered.add();
        // One error answers the run: its sender is told once.
        if (to.unheld)
            answerUnheld(host, first, firstLen, now);
    }
}

void cBrokerMode::gather(cPacketHost& host, const cTunnel* tunnel, const char* frame, int n)
{
    std::size_t len = static_cast<std::size_t>(n < 0 ? 0 : n);
    if (mGathered.add(tunnel, frame, len))
        return;
    sendGathered(host);
    if (!mGathered.add(tunnel, frame, len))
        sendToTunnel(host, frame, n, tunnel);
}

// The frames gathered for one tunnel: a frame alone as always, more as one
// run.
void cBrokerMode::sendGathered(cPacketHost& host)
{
    if (mGathered.empty())
        return;
    const cTunnel* tunnel = static_cast<const cTunnel*>(mGathered.destination());
    sWireFrames cut = mGathered.cut();
    if (cut.count == 1)
        sendToTunnel(host, reinterpret_cast<const char*>(mGathered.frames()),
                     static_cast<int>(cut.lastSize), tunnel);
    else
        sendRun(host, mGathered.frames(), cut, tunnel);
    mGathered.clear();
}

void cBrokerMode::dropTunRead(int n)
{
    mDebug << "Dropped a TUN read of " << n << " bytes that makes no frame" << std::endl;
    countDrop(DROP_BAD_FRAME);
}

// The run to one tunnel, one line per datagram as a frame sent alone gets.
void cBrokerMode::sendRun(cPacketHost& host, const unsigned char* frames, const sWireFrames& cut,
                          const cTunnel* tunnel)
{
    std::size_t sent = host.putRun(frames, cut.frameSize, cut.count, cut.lastSize,
                                   {&tunnel->getPeer(), tunnel->getLocal()});
    for (std::size_t i = 0; i < cut.count; ++i) {
        long bytes = i >= sent ? -1 : static_cast<long>(i + 1 == cut.count ? cut.lastSize : cut.frameSize);
        tunnel->countSent(bytes);
        if (gTunnelLog.mDebug.wanted())
            gTunnelLog.mDebug << "TX " << bytes << " bytes over tunnel" << std::endl;
    }
}

namespace {

// True when count has news and pacer lets a summary of it out at now.
bool summaryDue(unsigned long since, cSummaryPacer& pacer, long long now)
{
    return since != 0 && pacer.due(now);
}

} // namespace

// One INFO line "<before><count><after>" when due; the count starts again.
void cBrokerMode::summarise(tCount& count, cSummaryPacer& pacer, long long now,
                            const char* before, const char* after)
{
    if (!summaryDue(count.since, pacer, now))
        return;
    mInfo << before << count.since << after << std::endl;
    count.since = 0;
}

void cBrokerMode::flushTunReports(long long now)
{
    summarise(mUndelivered, mUndeliveredPacer, now, "No tunnel for the destination: ",
              " frames from the TUN device dropped since the last report");
    reportUnreachable(now);
}

// The error for a frame to an address nobody holds goes to whoever holds
// the frame's source: a client through its tunnel, else the broker's
// kernel through the TUN device. True when the frame was answered.
bool cBrokerMode::answerUnheld(cPacketHost& host, const char* buffer, int n, long long now)
{
    std::size_t len = mUnreachable.answer(buffer, n, now);
    if (len == 0)
        return false;
    const char* error = mUnreachable.frame();
    sDelivery to = deliveryFor(error, static_cast<int>(len), false);
    if (to.to == sDelivery::ONE) {
        sendToTunnel(host, error, static_cast<int>(len), to.tunnel);
    } else {
        host.putFrame(error, static_cast<int>(len));
        host.flushFrames();
    }
    return true;
}

void cBrokerMode::reportUnreachable(long long now)
{
    if (!summaryDue(mUnreachable.suppressed(), mUnreachablePacer, now))
        return;
    mInfo << "Unreachable errors rate-limited: " << mUnreachable.takeSuppressed()
          << " not sent since the last report" << std::endl;
}

void cBrokerMode::reportPoolFull(long long now)
{
    if (!summaryDue(gDelegations.refused(), mPoolFullPacer, now))
        return;
    mInfo << "Every routed prefix is held by a live tunnel: " << gDelegations.takeRefused()
          << " requests got none since the last report" << std::endl;
}

// The sender's tunnel with a hold taken, within the table's limit.
cTunnel* cBrokerMode::admit(const char* buffer, int n, const sockaddr_in& sender, long long now)
{
    try {
        if (gTunnels.findByPeer(sender) == nullptr && !makeRoomFor(buffer, n, sender, now))
            return nullptr;
        return findOrCreateTunnel(sender, now);
    } catch (const std::bad_alloc&) {
        // No memory for a new tunnel: drop this datagram rather than the
        // whole daemon; later datagrams may find memory again.
        mError << "No memory for a new tunnel, datagram dropped" << std::endl;
        return nullptr;
    }
}

// A new endpoint that finds the table full takes the place of a tunnel that
// nobody holds (see victim()). False when the table is full of tunnels that
// must stay.
bool cBrokerMode::makeRoomFor(const char* buffer, int n, const sockaddr_in& sender, long long now)
{
    // A client back from another endpoint with its identifier (and its key,
    // where the identifier is protected by one): the exchange would remove
    // its old tunnel anyway, so that tunnel's slot is the one it takes.
    if (gTunnels.size() >= mMaxTunnels) {
        cTSPMsg said(buffer, n, cTSPMsg::sQuietCopy{});
        unsigned id = said.getTunnelId();
        // Only a setup that will take the identifier frees its slots: a
        // request allowed to, or an accept that proves the key.
        bool takes = said.getType() == TSP_REQUEST
            ? identifierMayBeTaken(id, said.getTunnelKey(), sender)
            : said.getType() == TSP_ACCEPT && tunnelKeyValid(id, said.getTunnelKey());
        if (id != 0 && takes && !identifierReserved(id))
            removeStaleTunnels(id, sender);
    }
    while (gTunnels.size() >= mMaxTunnels) {
        bool silent = false;
        cTunnel* gone = victim(now, silent);
        if (gone == nullptr) {
            gTunnelLog.mDebug << "Tunnel table full, dropping datagram from "
                              << endpointText(sender) << std::endl;
            mRefused.add();
            return false;
        }
        gTunnelLog.mDebug << "Tunnel table full, evicting " << (silent ? "silent" : "unfinished")
                          << " tunnel of " << endpointText(gone->getPeer()) << std::endl;
        dropTunnel(gone);
        mEvicted.add();
    }
    return true;
}

// Which unheld tunnel gives way, at now, or null. First one that
// never completed the exchange and had no offer for longer than a client
// waits between requests: nobody is setting it up. Then a completed tunnel
// silent for longer than its keepalive: its client has left (the longest
// silent one is looked at, the only one found without a scan). Last the
// oldest unfinished one: no real client is known to use it.
cTunnel* cBrokerMode::victim(long long now, bool& silent) const
{
    if (cTunnel* abandoned = gTunnels.oldestUnfinishedOfferedBefore(
            (wholeSeconds(now) - kSetupRetrySeconds) * kNanosPerSecond))
        return abandoned;
    cTunnel* quiet = gTunnels.longestSilent();
    silent = quiet != nullptr && quiet->getRefCount() == 0 && quiet->isExpired(now);
    return silent ? quiet : gTunnels.oldestUnfinished();
}

void cBrokerMode::answerSetup(cPacketHost& host, cTunnel* tunnel, char* buffer, int n,
                              const sockaddr_in& sender, long long now)
{
    cTSPMsg* reply = handleTunnelMsg(tunnel, buffer, n);
    if (reply == nullptr)
        return;
    if (sendReply(host, reply, tunnel, sender, now)) {
        tunnel->noteOfferSent(now);
        gTunnels.update(tunnel);
    }
    delete reply;
}

// The offer to a new endpoint's keyed request comes from a tunnel outside
// the table that goes with this datagram; the accept that carries the
// offered key makes the real one (see handleUdpDatagram).
void cBrokerMode::answerWithoutTunnel(cPacketHost& host, char* buffer, int n,
                                      const sockaddr_in& sender, long long now, in_addr local)
{
    cTunnel probe(sender, now);
    probe.setLocal(local);
    probe.detachFromTable();
    cTSPMsg* reply = probe.handleMsg(buffer, n);
    if (reply == nullptr)
        return;
    sendReply(host, reply, &probe, sender, now);
    delete reply;
}

// True when the reply left; within the setup rate only.
bool cBrokerMode::sendReply(cPacketHost& host, cTSPMsg* reply, const cTunnel* tunnel,
                            const sockaddr_in& sender, long long now)
{
    std::string address = ipv4Text(sender);
    unsigned port = ntohs(sender.sin_port);
    if (!mSetupLimiter.allow(sender.sin_addr.s_addr, now)) {
        // The exchange has run and moved the tunnel's state; only the
        // datagram that answers it waits for the address to be due another.
        // Without an offer sent, an accept does not complete the exchange.
        mDebug << "Setup rate exceeded, offer to " << address << ":" << port
                       << " held back" << std::endl;
        mHeld.add();
        return false;
    }
    mInfo << "Config msg from " << address << ":" << port << std::endl;
    reply->dump();
    int r = static_cast<int>(sendCounted(host, reply->getData(), reply->getLen(), tunnel));
    if (r < 1) {
        mInfo << "UDP Transmit Error " << r << std::endl;
        return false;
    }
    mDebug << "Sent " << r << " bytes to " << address << ":" << port << std::endl;
    return true;
}

void cBrokerMode::relayData(cPacketHost& host, const cTunnel* tunnel, char* buffer, int n,
                            const sockaddr_in& sender, long long now)
{
    if (!dataUsable(tunnel, buffer, n, sender))
        return;
    // Only a client that holds the destination gets a copy from here; the
    // kernel delivers the rest. In unicast delivery a frame for another
    // client goes to it alone: the kernel of a broker host that forwards
    // IPv6 would route a copy written to the TUN device straight back into
    // it, to be delivered once more.
    sDelivery to = deliveryFor(buffer, n, false);
    // An address of ours that nobody holds is answered here; the kernel
    // could only route the frame back into the TUN device.
    if (!mBroadcast && to.unheld && mUnreachable.enabled()) {
        countDrop(DROP_NO_TUNNEL);
        answerUnheld(host, buffer, n, now);
        return;
    }
    if (mBroadcast || to.to != sDelivery::ONE) {
        mDebug << "Forward to TUN" << std::endl;
        // A failed write loses this frame only; the tunnel carries on.
        host.putFrame(buffer, n);
    }
    forwardToTunnel(host, to, buffer, n);
}

// Only IPv6 may enter the broker's stack from a tunnel, and, unless the
// operator turned the check off, only from the client's own address: a
// client must not pose as another client or as any other host.
namespace {

bool isLinkLocalOrUnspecified(const unsigned char* address)
{
    static const unsigned char unspecified[kIp6AddressLen] = {};
    return (address[0] == 0xfe && (address[1] & 0xc0) == 0x80)
        || std::memcmp(address, unspecified, kIp6AddressLen) == 0;
}

} // namespace

bool cBrokerMode::dataUsable(const cTunnel* tunnel, const char* buffer, int n,
                             const sockaddr_in& sender)
{
    if (!holdsIp6Packet(buffer, n)) {
        mDebug << "Dropped " << n << " bytes from " << endpointText(sender)
                       << ": not an IPv6 packet" << std::endl;
        mNotIp6.add();
        return false;
    }
    const unsigned char* source = frameAddress(buffer, n, kSourceAt);
    // Router solicitations and MLD reports of a healthy client come from
    // its link-local or the unspecified address: no spoofing, but nothing
    // the broker's stack takes from a tunnel either.
    if (mSourceCheck && (isLinkLocalOrUnspecified(source))) {
        mDebug << "Dropped " << n << " bytes from " << endpointText(sender)
                       << ": link-local or unspecified source" << std::endl;
        mLinkLocal.add();
        return false;
    }
    if (mSourceCheck && !sourceUsable(tunnel, source)) {
        mDebug << "Dropped " << n << " bytes from " << endpointText(sender)
                       << ": source is not the tunnel's address" << std::endl;
        mSpoofed.add();
        return false;
    }
    return true;
}

// The tunnel's own address, or one in the routed prefix it holds.
bool cBrokerMode::sourceUsable(const cTunnel* tunnel, const unsigned char* source) const
{
    if (std::memcmp(source, tunnel->getAddr(), kIp6AddressLen) == 0)
        return true;
    return gDelegations.enabled() && delegatedHolder(source) == tunnel;
}

void cBrokerMode::echoKeepalive(cPacketHost& host, const cTunnel* tunnel, char* buffer, int n)
{
    mDebug << "Echo Keepalive" << std::endl;
    sendCounted(host, buffer, n, tunnel);
}

// Called with gTunnelsLock held: the lines go to the table's logger.
void cBrokerMode::reportTableLimit(long long now)
{
    if (mEvicted.since == 0 && mRefused.since == 0)
        return;
    if (!mLimitPacer.due(now))
        return;
    gTunnelLog.mInfo << "Tunnel table at its limit of " << mMaxTunnels << ": " << mEvicted.since
                     << " unfinished tunnels evicted, " << mRefused.since
                     << " datagrams from new endpoints dropped since the last report" << std::endl;
    mEvicted.since = 0;
    mRefused.since = 0;
}

void cBrokerMode::reportRefusedData(long long now)
{
    if (!summaryDue(mNotIp6.since + mSpoofed.since, mRefusedDataPacer, now))
        return;
    mInfo << "Data refused: " << mNotIp6.since << " datagrams without an IPv6 packet and "
                  << mSpoofed.since
                  << " with a source other than their tunnel's address since the last report"
                  << std::endl;
    mNotIp6.since = 0;
    mSpoofed.since = 0;
}

void cBrokerMode::reportHeldOffers(long long now)
{
    summarise(mHeld, mHeldPacer, now, "Setup rate exceeded: ",
              " offers held back since the last report");
}
