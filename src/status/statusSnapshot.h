// What the status socket, `quibd --status` and the metrics show: a copy of
// the daemon's state taken at one moment, formatted without any lock held.
#pragma once

#include "counters/daemonCounters.h"

#include <cstdint>
#include <string>
#include <vector>

// One tunnel as the broker's table holds it, or the client's own.
struct sTunnelRow {
    uint32_t id = 0;
    std::string endpoint;      // "198.51.100.7:40001"
    std::string address;       // the tunnel's IPv6 address, "" when none yet
    std::string routedPrefix;  // "2001:db8:100:2a::/64", "" when none
    int state = 0;             // TUNNEL_NEW, TUNNEL_OFFERED, TUNNEL_ESTABLISHED
    bool completed = false;    // the whole exchange ran
    bool keyProtected = false; // the accept carried the identifier's key
    uint32_t keepalive = 0;    // seconds
    long long createdAgo = 0;  // seconds since the tunnel was made
    long long heardAgo = 0;    // seconds since its last datagram
    uint64_t packetsIn = 0;    // from the peer
    uint64_t bytesIn = 0;
    uint64_t packetsOut = 0;   // to the peer
    uint64_t bytesOut = 0;
};

// Plain copies of sDaemonCounters.
struct sCounterValues {
    uint64_t datagramsIn = 0;
    uint64_t framesIn = 0;
    uint64_t dropped[DROP_REASON_COUNT] = {};
    uint64_t evictions = 0;
    uint64_t staleRemovals = 0;
    uint64_t setups = 0;
    uint64_t unreachableSent = 0;
    uint64_t unreachableSuppressed = 0;
    uint64_t delegationsHeld = 0;
    uint64_t delegationsTotal = 0;
};

sCounterValues readCounters(const sDaemonCounters& counters);

struct sStatusSnapshot {
    bool broker = true;       // mode: broker or client
    std::string version;      // the daemon's version
    long long uptime = 0;     // seconds since start
    sCounterValues counters;
    // Broker: its prefix ("2001:db8:1::/64"), tunnels by state, and the rows
    // when asked for (newest first, as the table orders them).
    std::string prefix;
    unsigned tunnelsByState[3] = {0, 0, 0};
    std::vector<sTunnelRow> tunnels;
    // Client: the broker's endpoint and its own tunnel (rows[0] when the
    // client has set one up; state TUNNEL_NEW with no address before).
    std::string brokerEndpoint;
};
