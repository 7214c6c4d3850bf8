#include "broker/cSetupLimiter.h"

#include "log/monotonicClock.h"
#include "tunnel/keyedHash.h"

cSetupLimiter::cSetupLimiter(int rate, int burst, uint64_t seed)
    : mSpacing(0), mTolerance(0), mSeed(seed), mBuckets(kSlots, cBucket{0, false, 0})
{
    if (rate <= 0)
        return;
    // A rate above one per nanosecond is no limit worth the name, but stays
    // a limit rather than dividing down to 0.
    mSpacing = rate >= kNanosPerSecond ? 1 : kNanosPerSecond / rate;
    mTolerance = static_cast<long long>(burst < 1 ? 0 : burst - 1) * mSpacing;
}

bool cSetupLimiter::allow(uint32_t address, long long now)
{
    if (mSpacing == 0)
        return true;
    cBucket& bucket = bucketFor(address, now);
    long long fullAt = bucket.fullAt > now ? bucket.fullAt : now;
    if (fullAt - now > mTolerance)
        return false;
    bucket.fullAt = fullAt + mSpacing;
    return true;
}

// The address's own bucket, or else an unused one of its set, or else the
// one of its set that fills up first: the most idle, or among busy ones the
// least drained, so an address that is being held back keeps its state.
cSetupLimiter::cBucket& cSetupLimiter::bucketFor(uint32_t address, long long now)
{
    const std::size_t sets = mBuckets.size() / kWays;
    cBucket* set = &mBuckets[(keyedHash(address, mSeed) % sets) * kWays];
    cBucket* pick = nullptr;
    for (int i = 0; i < kWays; ++i) {
        cBucket& b = set[i];
        if (b.used && b.address == address)
            return b;
        if (pick == nullptr || (pick->used && (!b.used || b.fullAt < pick->fullAt)))
            pick = &b;
    }
    *pick = cBucket{address, true, now};
    return *pick;
}

int cSetupLimiter::tracked() const
{
    int count = 0;
    for (const cBucket& b : mBuckets)
        count += b.used ? 1 : 0;
    return count;
}
