// Counts what a flood makes the broker refuse, and paces the summaries of it
// so that a flood never floods the log.
#pragma once

// Two kinds of events are counted (kind 0 and kind 1), each since the last
// summary and in total. A summary is due at most once per interval, and only
// when something happened since the previous one. Times are seconds of
// CLOCK_MONOTONIC, passed in by the caller.
class cFloodTally {
public:
    explicit cFloodTally(long long intervalSeconds);

    void add(int kind);
    bool pending() const;
    // When a summary is due at now: since[] receives the counts since the
    // last summary, which start again from 0, and the result is true.
    bool takeSummary(long long now, unsigned long since[2]);
    unsigned long total(int kind) const;
    // Forgets every count and the time of the last summary.
    void reset();

private:
    long long mInterval;
    bool mSummarised;
    long long mLastSummary;
    unsigned long mSince[2];
    unsigned long mTotal[2];
};
