#include "tunnel/cFloodTally.h"

cFloodTally::cFloodTally(long long intervalSeconds)
    : mInterval(intervalSeconds), mSummarised(false), mLastSummary(0), mSince{0, 0},
      mTotal{0, 0}
{
}

void cFloodTally::add(int kind)
{
    const int k = kind == 0 ? 0 : 1;
    ++mSince[k];
    ++mTotal[k];
}

bool cFloodTally::pending() const
{
    return mSince[0] != 0 || mSince[1] != 0;
}

bool cFloodTally::takeSummary(long long now, unsigned long since[2])
{
    if (!pending())
        return false;
    // The first event of a flood is reported at once; later ones wait for
    // the interval to pass.
    if (mSummarised && now - mLastSummary < mInterval)
        return false;
    since[0] = mSince[0];
    since[1] = mSince[1];
    mSince[0] = 0;
    mSince[1] = 0;
    mSummarised = true;
    mLastSummary = now;
    return true;
}

unsigned long cFloodTally::total(int kind) const
{
    return mTotal[kind == 0 ? 0 : 1];
}

void cFloodTally::reset()
{
    *this = cFloodTally(mInterval);
}
