#include "status/statusSnapshot.h"

namespace {

uint64_t valueOf(const std::atomic<uint64_t>& counter)
{
    return counter.load(std::memory_order_relaxed);
}

} // namespace

sCounterValues readCounters(const sDaemonCounters& counters)
{
    sCounterValues values;
    values.datagramsIn = valueOf(counters.datagramsIn);
    values.framesIn = valueOf(counters.framesIn);
    for (int reason = 0; reason < DROP_REASON_COUNT; ++reason)
        values.dropped[reason] = valueOf(counters.dropped[reason]);
    values.evictions = valueOf(counters.evictions);
    values.staleRemovals = valueOf(counters.staleRemovals);
    values.setups = valueOf(counters.setups);
    values.unreachableSent = valueOf(counters.unreachableSent);
    values.unreachableSuppressed = valueOf(counters.unreachableSuppressed);
    values.delegationsHeld = valueOf(counters.delegationsHeld);
    values.delegationsTotal = valueOf(counters.delegationsTotal);
    return values;
}
