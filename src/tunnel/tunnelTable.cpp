#include "tunnel/cTunnel.h"

#include "log/logText.h"

#include <sys/socket.h>

#include <cstring>
#include <iostream>
#include <memory>

// Defined together in this one file so that they are built in this order
// during static initialisation, before main runs.
std::list<cTunnel*> gTunnels;
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

cTunnel* findOrCreateTunnel(const sockaddr_in& peer)
{
    cTunnel* tunnel = nullptr;
    for (cTunnel* t : gTunnels) {
        if (t->samePeer(peer)) {
            tunnel = t;
            break;
        }
    }
    if (tunnel != nullptr) {
        gTunnelLog.mDebug << "Found tunnel.." << std::endl;
    } else {
        gTunnelLog.mDebug << "Making brand new tunnel.." << std::endl;
        // Out of memory: std::bad_alloc reaches the caller and the table is
        // left as it was (no half-inserted tunnel).
        std::unique_ptr<cTunnel> fresh(new cTunnel(peer));
        gTunnels.push_front(fresh.get());
        tunnel = fresh.release();
    }
    tunnel->addRef();
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
        if (!isStaleFor(t, current)) {
            ++it;
            continue;
        }
        gTunnelLog.mDebug << "Removing stale tunnel 0x" << hexText(t->getId()) << std::endl;
        // Drop every entry that holds it; 'it' ends on the entry after the
        // removed one, which no later remove() can invalidate.
        it = gTunnels.erase(it);
        while (it != gTunnels.end() && *it == t)
            it = gTunnels.erase(it);
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
    for (cTunnel* t : gTunnels) {
        if (!t->isEstablished())
            continue;
        if (std::memcmp(t->getAddr(), frame + kDestOffset, 16) != 0)
            continue;
        ssize_t sent = sendFrame(sock, frame, len, t);
        gTunnelLog.mDebug << "TX " << static_cast<long>(sent) << " bytes locally forwarded"
                          << std::endl;
        return;
    }
}
