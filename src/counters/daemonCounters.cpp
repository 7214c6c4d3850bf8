#include "counters/daemonCounters.h"

const char* dropReasonName(eDropReason reason)
{
    static const char* const names[DROP_REASON_COUNT] = {
        "queue_overflow", "table_full", "no_tunnel", "bad_frame", "spoofed_source", "offer_held",
        "link_local",
    };
    if (reason < 0 || reason >= DROP_REASON_COUNT)
        return "unknown";
    return names[reason];
}

bool dropReasonCounted(eDropReason reason, bool broker)
{
    return broker || reason == DROP_NO_TUNNEL || reason == DROP_BAD_FRAME;
}

sDaemonCounters& daemonCounters()
{
    static sDaemonCounters counters;
    return counters;
}
