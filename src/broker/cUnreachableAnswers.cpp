#include "broker/cUnreachableAnswers.h"

#include "counters/daemonCounters.h"

namespace {

const int kErrorsPerSecond = 10;
const int kErrorBurst = 10;
// The bucket is keyed by source; the broker keeps one for everyone.
const uint32_t kEveryone = 0;

} // namespace

cUnreachableAnswers::cUnreachableAnswers(bool enabled, const in6_addr& from, uint64_t seed)
    : mEnabled(enabled), mFrom(from), mBucket(kErrorsPerSecond, kErrorBurst, seed)
{
}

std::size_t cUnreachableAnswers::answer(const char* frame, int n, long long now)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame);
    std::size_t len = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (!mEnabled || !mayAnswerWithUnreachable(bytes, len))
        return 0;
    if (!mBucket.allow(kEveryone, now)) {
        ++mSuppressed;
        countUp(daemonCounters().unreachableSuppressed);
        return 0;
    }
    countUp(daemonCounters().unreachableSent);
    return buildUnreachable(bytes, len, mFrom, kIcmp6AddressUnreachable, mFrame);
}

unsigned long cUnreachableAnswers::takeSuppressed()
{
    unsigned long suppressed = mSuppressed;
    mSuppressed = 0;
    return suppressed;
}
