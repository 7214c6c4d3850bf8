#include "log/monotonicClock.h"

#include <ctime>

long long monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

long long monotonicMillis()
{
    return wholeMillis(monotonicNanoseconds());
}
