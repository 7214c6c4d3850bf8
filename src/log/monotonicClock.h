// Readings of CLOCK_MONOTONIC. The run loops read the clock and hand the
// time to the logic they drive, so that tests can pass any time they like.
#pragma once

long long monotonicNanoseconds();
long long monotonicMillis();

constexpr long long kNanosPerSecond = 1000000000LL;

// The whole seconds of a time in nanoseconds, as an operator sees them and
// as the keepalive and pacing rules count them.
constexpr long long wholeSeconds(long long nanos)
{
    return nanos / kNanosPerSecond;
}

constexpr long long kNanosPerMilli = 1000000LL;

// The whole milliseconds of a time in nanoseconds.
constexpr long long wholeMillis(long long nanos)
{
    return nanos / kNanosPerMilli;
}

// A wait in nanoseconds as select's milliseconds, rounded up so that the
// loop wakes at or after the moment it waits for instead of spinning on a
// zero time-out just before it.
constexpr long long millisRoundedUp(long long nanos)
{
    return (nanos + kNanosPerMilli - 1) / kNanosPerMilli;
}
