// Readings of CLOCK_MONOTONIC. The run loops read the clock and hand the
// time to the logic they drive, so that tests can pass any time they like.
#pragma once

long long monotonicSeconds();
long long monotonicNanoseconds();
long long monotonicMillis();

constexpr long long kNanosPerSecond = 1000000000LL;
