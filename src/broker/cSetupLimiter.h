// Paces the broker's setup replies per source IPv4 address, so that spoofed
// requests cannot turn the broker into an amplifier against a third party.
#pragma once

#include <cstdint>
#include <vector>

// One token bucket per address: rate replies per second with a burst of
// burst; a rate of 0 or less lets every reply go. Memory is fixed at
// construction: kSlots buckets in sets of kWays, the set chosen by a hash of
// the address keyed with seed; a new address takes its set's most idle
// bucket. Times are nanoseconds of CLOCK_MONOTONIC, passed in by the caller.
class cSetupLimiter {
public:
    static constexpr int kSlots = 4096;
    static constexpr int kWays = 4;

    cSetupLimiter(int rate, int burst, uint64_t seed);

    // True when a reply to address (network order) may be sent at now;
    // a true result uses up one token.
    bool allow(uint32_t address, long long now);
    // Addresses that hold a bucket now; never more than kSlots.
    int tracked() const;

private:
    // A bucket as the time at which it will be full again: the bucket has a
    // token while that time lies at most mTolerance ahead of now.
    struct cBucket {
        uint32_t address;
        bool used;
        long long fullAt;
    };

    cBucket& bucketFor(uint32_t address, long long now);

    long long mSpacing;   // nanoseconds per token at the steady rate; 0: no limit
    long long mTolerance; // (burst - 1) tokens' worth of spacing
    uint64_t mSeed;
    std::vector<cBucket> mBuckets;
};
