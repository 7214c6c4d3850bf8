#include "tunnel/keyedHash.h"

#include "log/monotonicClock.h"

#include <sys/random.h>
#include <unistd.h>

namespace {

// The finaliser of splitmix64.
uint64_t mix(uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

uint64_t drawSeed()
{
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(seed)))
        return seed;
    // No entropy yet (early boot): the start time and process id still
    // differ from one daemon to the next.
    return mix(static_cast<uint64_t>(monotonicNanoseconds()) ^ static_cast<uint64_t>(getpid()));
}

} // namespace

uint64_t hashSeed()
{
    // Drawn on first use: tables built during static initialisation may ask
    // before this file's globals exist.
    static const uint64_t drawn = drawSeed();
    return drawn;
}

uint64_t keyedHash(uint64_t value, uint64_t seed)
{
    return mix(value ^ mix(seed));
}
