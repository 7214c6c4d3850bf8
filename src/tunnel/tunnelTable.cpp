#include "tunnel/tunnelTable.h"

#include "log/logText.h"
#include "counters/daemonCounters.h"
#include "tunnel/cDelegationTable.h"
#include "tunnel/cTunnel.h"
#include "packet/frame.h"
#include "packet/cPacketHost.h"
#include "packet/cSocketPacketHost.h"
#include "packet/datagramSender.h"
#include "tunnel/tunnelKey.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>
#include <memory>

// Defined together in this one file so that they are built in this order
// during static initialisation, before main runs.
cIndexedTunnelList gTunnels;
std::mutex gTunnelsLock;
cWlog gTunnelLog("cTunnel");

in6_addr gIp6Prefix = {};
uint8_t gIp6PrefixLen = 64;
uint32_t gKeepalive = 0;

void setSharedPrefix(const in6_addr& prefix, uint8_t len)
{
    std::memcpy(&gIp6Prefix, &prefix, sizeof(gIp6Prefix));
    gIp6PrefixLen = len;
}

void setSharedKeepalive(uint32_t seconds)
{
    gKeepalive = seconds;
}

uint8_t getSharedPrefixLen()
{
    return gIp6PrefixLen;
}

namespace {

// now: null to read the clock, and only when a tunnel is made.
cTunnel* findOrCreate(const sockaddr_in& peer, const long long* now)
{
    cTunnel* tunnel = gTunnels.findByPeer(peer);
    if (tunnel != nullptr) {
        gTunnelLog.mDebug << "Found tunnel.." << std::endl;
    } else {
        gTunnelLog.mDebug << "Making brand new tunnel.." << std::endl;
        // Out of memory: std::bad_alloc reaches the caller and the table is
        // left as it was (no half-inserted tunnel).
        std::unique_ptr<cTunnel> fresh(now != nullptr ? new cTunnel(peer, *now) : new cTunnel(peer));
        gTunnels.pushFront(fresh.get());
        tunnel = fresh.release();
    }
    tunnel->addRef();
    return tunnel;
}

} // namespace

cTunnel* findOrCreateTunnel(const sockaddr_in& peer)
{
    return findOrCreate(peer, nullptr);
}

cTunnel* findOrCreateTunnel(const sockaddr_in& peer, long long now)
{
    return findOrCreate(peer, &now);
}

cTSPMsg* handleTunnelMsg(cTunnel* tunnel, char* data, int len)
{
    cTSPMsg* reply = tunnel->handleMsg(data, len);
    // The exchange may have moved the state, address or completion that the
    // indexes hold.
    gTunnels.update(tunnel);
    return reply;
}

void dropTunnel(cTunnel* tunnel)
{
    // A delegation outlives its tunnel; how long ago its holder was heard
    // decides which one a full pool gives up first.
    if (tunnel->isKeyProtected())
        gDelegations.heard(tunnel->getId(), tunnel->getLastHeard());
    gTunnels.remove(tunnel);
    delete tunnel;
}

void removeStaleTunnels(cTunnel* current)
{
    // The tunnel's own endpoint is never stale for it: current stays.
    removeStaleTunnels(current->getId(), current->getPeer());
}

void removeStaleTunnels(unsigned id, const sockaddr_in& peer)
{
    if (id == 0)
        return;
    auto it = gTunnels.begin();
    while (it != gTunnels.end()) {
        cTunnel* t = *it;
        ++it;
        if (t->getId() != id || t->samePeer(peer))
            continue;
        gTunnelLog.mDebug << "Removing stale tunnel 0x" << hexText(t->getId()) << std::endl;
        countUp(daemonCounters().staleRemovals);
        // 'it' already stands on the next entry, which removing t leaves valid.
        dropTunnel(t);
    }
}

namespace {

// Copies of one frame that a single sendmmsg hands to the kernel.
const int kSendBatch = 64;

// Sends the frame to peers[0..count) through the host and logs each copy's
// result in order ("TX -1 ..." for a copy that failed).
void sendBatch(cPacketHost& host, const char* frame, int len, const cTunnel* const* peers, int count)
{
    sDatagramTarget targets[kSendBatch] = {};
    ssize_t sent[kSendBatch];
    for (int i = 0; i < count; ++i)
        targets[i] = {&peers[i]->getPeer(), peers[i]->getLocal()};
    host.putCopies(frame, static_cast<size_t>(len), targets, static_cast<size_t>(count), sent);
    for (int i = 0; i < count; ++i) {
        if (sent[i] >= 0)
            peers[i]->countSent(sent[i]);
        gTunnelLog.mDebug << "TX " << static_cast<long>(sent[i]) << " bytes over tunnel" << std::endl;
    }
}

} // namespace

bool identifierMayBeTaken(unsigned id, const char* key, const sockaddr_in& peer)
{
    if (tunnelKeyValid(id, key))
        return true;
    // A routed prefix moves with its key alone, even while its tunnel is away.
    if (gDelegations.find(id) != nullptr)
        return false;
    return !tunnelKeysRequired() && !gTunnels.protectedElsewhere(id, peer);
}

ssize_t sendCounted(cPacketHost& host, const char* data, int len, const cTunnel* tunnel)
{
    ssize_t sent = host.putPacket(data, static_cast<size_t>(len), {&tunnel->getPeer(), tunnel->getLocal()});
    tunnel->countSent(sent);
    return sent;
}

namespace {

in6_addr asAddress(const unsigned char* bytes)
{
    in6_addr address;
    std::memcpy(&address, bytes, sizeof(address));
    return address;
}

} // namespace

sDelivery deliveryFor(const char* frame, int len, bool broadcast)
{
    if (broadcast)
        return {sDelivery::ALL, nullptr};
    const unsigned char* destination = frameAddress(frame, len, kDestinationAt);
    if (destination == nullptr)
        return {sDelivery::NOBODY, nullptr};
    if (isMulticast(destination))
        return {sDelivery::ALL, nullptr};
    const cTunnel* t = gTunnels.findEstablished(destination);
    if (t == nullptr && gDelegations.enabled())
        t = delegatedHolder(destination);
    if (t != nullptr)
        return {sDelivery::ONE, t};
    bool ours = inSharedPrefix(destination) || gDelegations.inPool(asAddress(destination));
    return {sDelivery::NOBODY, nullptr, ours && !addressReserved(destination)};
}

const cTunnel* delegatedHolder(const unsigned char* address)
{
    uint32_t id = gDelegations.holderOf(asAddress(address));
    if (id == 0)
        return nullptr;
    in6_addr tunnelAddress = tunnelAddressFor(id);
    const cTunnel* t = gTunnels.findEstablished(tunnelAddress.s6_addr);
    return t != nullptr && t->getId() == id && t->isKeyProtected() ? t : nullptr;
}

void deliver(cPacketHost& host, const sDelivery& to, const char* frame, int len)
{
    if (to.to == sDelivery::ONE) {
        sendToTunnel(host, frame, len, to.tunnel);
        return;
    }
    // A negative length is a failed read, not a frame: nothing is sent.
    if (to.to != sDelivery::ALL || len < 0)
        return;
    const cTunnel* batch[kSendBatch];
    int count = 0;
    for (cTunnel* t : gTunnels) {
        if (!t->isEstablished())
            continue;
        batch[count++] = t;
        if (count == kSendBatch) {
            sendBatch(host, frame, len, batch, count);
            count = 0;
        }
    }
    if (count > 0)
        sendBatch(host, frame, len, batch, count);
}

void sendToTunnel(cPacketHost& host, const char* frame, int len, const cTunnel* tunnel)
{
    ssize_t sent = sendCounted(host, frame, len, tunnel);
    gTunnelLog.mDebug << "TX " << static_cast<long>(sent) << " bytes over tunnel" << std::endl;
}

void forwardToTunnel(cPacketHost& host, const sDelivery& to, const char* frame, int len)
{
    // Only a unicast destination that a tunnel holds is forwarded.
    if (to.to != sDelivery::ONE)
        return;
    ssize_t sent = sendCounted(host, frame, len, to.tunnel);
    gTunnelLog.mDebug << "TX " << static_cast<long>(sent) << " bytes locally forwarded"
                      << std::endl;
}

void sendToAllTunnels(int sock, const char* frame, int len)
{
    // The table never writes the TUN device.
    cSocketPacketHost sends(sock, -1, false);
    deliver(sends, deliveryFor(frame, len, true), frame, len);
}

void sendToTunnel(int sock, const char* frame, int len, const cTunnel* tunnel)
{
    // The table never writes the TUN device.
    cSocketPacketHost sends(sock, -1, false);
    sendToTunnel(sends, frame, len, tunnel);
}

void forwardToTunnel(int sock, const char* frame, int len)
{
    // The table never writes the TUN device.
    cSocketPacketHost sends(sock, -1, false);
    forwardToTunnel(sends, deliveryFor(frame, len, false), frame, len);
}
