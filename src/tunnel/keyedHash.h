// The one hash behind every table keyed by values a remote sender chooses
// (endpoints, addresses): keyed with a seed drawn at start, so nobody can aim
// many keys at one bucket.
#pragma once

#include <cstdint>

// Drawn once per process from the kernel's random source (or, before it has
// entropy, from the clock and process id), on first use.
uint64_t hashSeed();

// Mixes value with seed so that every input bit reaches every output bit.
uint64_t keyedHash(uint64_t value, uint64_t seed);
