#include "log/cSummaryPacer.h"

#include "log/monotonicClock.h"

cSummaryPacer::cSummaryPacer(long long intervalSeconds)
    : mInterval(intervalSeconds), mSummarised(false), mLastSummary(0)
{
}

bool cSummaryPacer::due(long long now)
{
    if (mSummarised && wholeSeconds(now) - wholeSeconds(mLastSummary) < mInterval)
        return false;
    mSummarised = true;
    mLastSummary = now;
    return true;
}
