// Paces the summary lines that stand in for a flood of per-event lines, so
// that a flood never floods the log.
#pragma once

// The first summary is due at once; each later one once interval seconds
// have passed since the previous, counted in whole seconds. Times are
// nanoseconds of CLOCK_MONOTONIC, passed in by the caller, who keeps the
// counts it summarises.
class cSummaryPacer {
public:
    explicit cSummaryPacer(long long intervalSeconds);

    // True when a summary may be written at now; the caller then writes it.
    bool due(long long now);

private:
    long long mInterval;
    bool mSummarised;
    long long mLastSummary;
};
