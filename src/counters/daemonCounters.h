// Daemon-wide figures for the operator's view: bumped from any thread
// without a lock (relaxed atomics), read by the status socket and metrics.
#pragma once

#include <atomic>
#include <cstdint>

// Why a datagram or frame went nowhere.
enum eDropReason {
    DROP_QUEUE_OVERFLOW = 0, // a full packet queue
    DROP_TABLE_FULL,         // a new endpoint found no room in the table
    DROP_NO_TUNNEL,          // a frame for an address no tunnel holds
    DROP_BAD_FRAME,          // not an IPv6 frame, or too short for one
    DROP_SPOOFED_SOURCE,     // a client's packet with another source address
    DROP_OFFER_HELD,         // an offer held back by the set-up rate
    DROP_LINK_LOCAL,         // a client's packet from a link-local or unspecified source
    DROP_REASON_COUNT
};

// The reason's name in status output and metrics labels ("queue_overflow").
const char* dropReasonName(eDropReason reason);
// Whether a daemon of that mode ever counts the reason (a client has no
// queue, table, setup rate or clients of its own).
bool dropReasonCounted(eDropReason reason, bool broker);

struct sDaemonCounters {
    std::atomic<uint64_t> datagramsIn{0}; // UDP datagrams received
    std::atomic<uint64_t> framesIn{0};    // frames read from the TUN device
    std::atomic<uint64_t> dropped[DROP_REASON_COUNT] = {};
    std::atomic<uint64_t> evictions{0};     // tunnels evicted for room
    std::atomic<uint64_t> staleRemovals{0}; // tunnels removed as stale
    // Client mode: setup exchanges begun (requests after a start, a loss of
    // the link or an unanswered accept).
    std::atomic<uint64_t> setups{0};
    // Broker mode: ICMPv6 errors for addresses nobody holds, written and
    // left out by the rate limit; routed prefixes held and the pool's size
    // (both 0 without a pool).
    std::atomic<uint64_t> unreachableSent{0};
    std::atomic<uint64_t> unreachableSuppressed{0};
    std::atomic<uint64_t> delegationsHeld{0};
    std::atomic<uint64_t> delegationsTotal{0};
    // Nanoseconds of CLOCK_MONOTONIC at start, for the uptime.
    std::atomic<long long> startedAt{0};
};

// The one set of the process.
sDaemonCounters& daemonCounters();

inline void countUp(std::atomic<uint64_t>& counter, uint64_t by = 1)
{
    counter.fetch_add(by, std::memory_order_relaxed);
}

inline void countDrop(eDropReason reason)
{
    countUp(daemonCounters().dropped[reason]);
}
