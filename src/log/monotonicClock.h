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

// The whole milliseconds, for select's time-outs and the status socket's.
constexpr long long wholeMillis(long long nanos)
{
    return nanos / 1000000;
}
