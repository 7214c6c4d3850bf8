#include "tunnel/cTunnel.h"

#include "log/logText.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

// Defined together in this one file so that they are built in this order
// during static initialisation, before main runs.
cTunnelTable gTunnels;
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

int gMaxTunnels = 4096;
cFloodTally gTunnelLimitTally(10);

namespace {

// The kinds counted in gTunnelLimitTally.
const int kEvicted = 0;
const int kRefused = 1;

cTunnel* findTunnel(const sockaddr_in& peer)
{
    return gTunnels.findByPeer(peer);
}

cTunnel* holdFound(cTunnel* tunnel)
{
    gTunnelLog.mDebug << "Found tunnel.." << std::endl;
    tunnel->addRef();
    return tunnel;
}

cTunnel* makeTunnel(const sockaddr_in& peer)
{
    gTunnelLog.mDebug << "Making brand new tunnel.." << std::endl;
    // Out of memory: std::bad_alloc reaches the caller and the table is
    // left as it was (no half-inserted tunnel).
    std::unique_ptr<cTunnel> fresh(new cTunnel(peer));
    gTunnels.pushFront(fresh.get());
    cTunnel* tunnel = fresh.release();
    tunnel->addRef();
    return tunnel;
}

std::string endpointText(const sockaddr_in& endpoint)
{
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &endpoint.sin_addr, text, sizeof(text)) == nullptr)
        text[0] = '\0';
    return std::string(text) + ":" + std::to_string(ntohs(endpoint.sin_port));
}

// False when the table is full of tunnels that must stay.
bool makeRoomFor(const sockaddr_in& peer)
{
    // The broker refuses a limit below 1 at start; should one reach here,
    // the table still holds one tunnel.
    const std::size_t limit = gMaxTunnels < 1 ? 1 : static_cast<std::size_t>(gMaxTunnels);
    while (gTunnels.size() >= limit) {
        // The oldest tunnel that nobody holds and that never completed the
        // exchange: no real client is known to use it.
        cTunnel* victim = gTunnels.oldestUnfinished();
        if (victim == nullptr) {
            gTunnelLog.mDebug << "Tunnel table full, dropping datagram from " << endpointText(peer)
                              << std::endl;
            gTunnelLimitTally.add(kRefused);
            return false;
        }
        gTunnelLog.mDebug << "Tunnel table full, evicting unfinished tunnel of "
                          << endpointText(victim->getPeer()) << std::endl;
        gTunnels.remove(victim);
        delete victim;
        gTunnelLimitTally.add(kEvicted);
    }
    return true;
}

void reportTableLimit()
{
    if (!gTunnelLimitTally.pending())
        return;
    unsigned long since[2];
    if (!gTunnelLimitTally.takeSummary(monotonicSeconds(), since))
        return;
    gTunnelLog.mInfo << "Tunnel table at its limit of " << gMaxTunnels << ": " << since[kEvicted]
                     << " unfinished tunnels evicted, " << since[kRefused]
                     << " datagrams from new endpoints dropped since the last report" << std::endl;
}

} // namespace

cTunnel* findOrCreateTunnel(const sockaddr_in& peer)
{
    cTunnel* found = findTunnel(peer);
    return found != nullptr ? holdFound(found) : makeTunnel(peer);
}

cTunnel* findOrAdmitTunnel(const sockaddr_in& peer)
{
    cTunnel* tunnel = findTunnel(peer);
    if (tunnel != nullptr)
        tunnel = holdFound(tunnel);
    else if (makeRoomFor(peer))
        tunnel = makeTunnel(peer);
    reportTableLimit();
    return tunnel;
}

namespace {

bool isStaleFor(const cTunnel* t, const cTunnel* current)
{
    return t != current && t->getId() == current->getId() && !t->samePeer(current->getPeer());
}

} // namespace

void removeStaleTunnels(cTunnel* current)
{
    if (current->getId() == 0)
        return;
    auto it = gTunnels.begin();
    while (it != gTunnels.end()) {
        cTunnel* t = *it;
        ++it;
        if (!isStaleFor(t, current))
            continue;
        gTunnelLog.mDebug << "Removing stale tunnel 0x" << hexText(t->getId()) << std::endl;
        // 'it' already stands on the next entry, which removing t leaves valid.
        gTunnels.remove(t);
        delete t;
    }
}

namespace {

ssize_t sendFrame(int sock, const char* frame, int len, const cTunnel* t)
{
    const sockaddr_in& peer = t->getPeer();
    return sendto(sock, frame, static_cast<size_t>(len), 0,
                  reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
}

} // namespace

void sendToAllTunnels(int sock, const char* frame, int len)
{
    // A negative length is a failed read, not a frame: nothing is sent.
    if (len < 0)
        return;
    for (cTunnel* t : gTunnels) {
        if (!t->isEstablished())
            continue;
        ssize_t sent = sendFrame(sock, frame, len, t);
        gTunnelLog.mDebug << "TX " << static_cast<long>(sent) << " bytes over tunnel" << std::endl;
    }
}

namespace {

// Packet-information header (4 bytes), then the IPv6 destination at 24..39
// of the IPv6 header.
const int kDestOffset = 28;
const int kDestEnd = kDestOffset + 16;

} // namespace

void forwardToTunnel(int sock, const char* frame, int len)
{
    // A frame without a whole destination address is never forwarded.
    if (len < kDestEnd)
        return;
    const cTunnel* t =
        gTunnels.findEstablished(reinterpret_cast<const unsigned char*>(frame) + kDestOffset);
    if (t == nullptr)
        return;
    ssize_t sent = sendFrame(sock, frame, len, t);
    gTunnelLog.mDebug << "TX " << static_cast<long>(sent) << " bytes locally forwarded"
                      << std::endl;
}
