// The broker's ICMPv6 Destination Unreachable (address unreachable) for a
// frame to an address of the tunnel prefix or the pool that nobody holds:
// its sender learns at once. One token bucket for the whole broker (10 a
// second, a burst of 10) keeps a flood of such frames from becoming a flood
// of errors. Used under gTunnelsLock by both workers.
#pragma once

#include "broker/cSetupLimiter.h"
#include "packet/icmpUnreachable.h"

#include <netinet/in.h>

#include <cstddef>

class cUnreachableAnswers {
public:
    cUnreachableAnswers(bool enabled, const in6_addr& from, uint64_t seed);

    bool enabled() const { return mEnabled; }
    // The error for the frame at now, built in frame(): its length, or 0
    // when the frame may not be answered or the rate leaves it out.
    std::size_t answer(const char* frame, int n, long long now);
    const char* frame() const { return reinterpret_cast<const char*>(mFrame); }
    // Errors the rate left out since the last take.
    unsigned long suppressed() const { return mSuppressed; }
    unsigned long takeSuppressed();

private:
    bool mEnabled;
    in6_addr mFrom;
    cSetupLimiter mBucket;
    unsigned long mSuppressed = 0;
    unsigned char mFrame[kUnreachableFrameMax];
};
