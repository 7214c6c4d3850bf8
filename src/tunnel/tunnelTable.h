// The broker's tunnel table, its lock and logger, the operations the
// broker's workers run on it, and the process-wide values of the setup
// exchange. Callers hold gTunnelsLock around every use of the table.
#pragma once

#include "log/cWlog.h"
#include "tunnel/cIndexedTunnelList.h"

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>

class cPacketHost;
class cTSPMsg;
class cTunnel;

extern cIndexedTunnelList gTunnels;
extern std::mutex gTunnelsLock;
extern cWlog gTunnelLog;

cTunnel* findOrCreateTunnel(const sockaddr_in& peer);
// The same, a tunnel it makes being made at now (nanoseconds of CLOCK_MONOTONIC).
cTunnel* findOrCreateTunnel(const sockaddr_in& peer, long long now);
void removeStaleTunnels(cTunnel* current);
// Drops every tunnel that holds identifier id (not 0) at another endpoint
// than peer, as removeStaleTunnels does for a tunnel of that endpoint.
void removeStaleTunnels(unsigned id, const sockaddr_in& peer);
// True when a request from peer that presents identifier id (not 0) with
// key (null: no key tag) may take it: with the identifier's valid key, or,
// unless keys are required, when no tunnel of another endpoint holds it
// under its key.
bool identifierMayBeTaken(unsigned id, const char* key, const sockaddr_in& peer);
void sendToAllTunnels(int sock, const char* frame, int len);
void forwardToTunnel(int sock, const char* frame, int len);
// One frame to one tunnel, logged as a copy of sendToAllTunnels is.
void sendToTunnel(int sock, const char* frame, int len, const cTunnel* tunnel);

// Who gets a frame: the one established tunnel that holds its unicast
// destination (its address, or a routed prefix it holds), every established
// tunnel (a multicast destination, or broadcast delivery), or nobody (no
// tunnel holds it, or the frame has no whole destination address).
struct sDelivery {
    enum eTo { NOBODY, ONE, ALL } to;
    const cTunnel* tunnel; // ONE only
    // NOBODY only: the destination is one the broker answers for (in the
    // tunnel prefix or the pool of routed prefixes, not its own) that no
    // tunnel holds.
    bool unheld = false;
};
sDelivery deliveryFor(const char* frame, int len, bool broadcast);
// The established, key-protected tunnel whose routed prefix holds address,
// or null.
const cTunnel* delegatedHolder(const unsigned char* address);

// Through a mode's packet host: the frame to whom the answer names, one
// "TX" line per copy as sendToAllTunnels writes them; forwardToTunnel's
// send and line when the answer is ONE; sendToTunnel's send and line.
void deliver(cPacketHost& host, const sDelivery& to, const char* frame, int len);
void forwardToTunnel(cPacketHost& host, const sDelivery& to, const char* frame, int len);
void sendToTunnel(cPacketHost& host, const char* frame, int len, const cTunnel* tunnel);
// One datagram to the tunnel's peer from its local address, counted in the
// tunnel's figures but not logged: the bytes sent, or -1.
ssize_t sendCounted(cPacketHost& host, const char* data, int len, const cTunnel* tunnel);

// The setup exchange (cTunnel::handleMsg) for a tunnel of the table; the
// table's indexes then follow whatever the exchange changed.
cTSPMsg* handleTunnelMsg(cTunnel* tunnel, char* data, int len);
// Takes a tunnel out of the table and destroys it.
void dropTunnel(cTunnel* tunnel);

// Process-wide values of the setup exchange.
extern in6_addr gIp6Prefix;
extern uint8_t gIp6PrefixLen;
extern uint32_t gKeepalive;

void setSharedPrefix(const in6_addr& prefix, uint8_t len);
void setSharedKeepalive(uint32_t seconds);
uint8_t getSharedPrefixLen();
