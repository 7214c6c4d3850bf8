// A word that a thread sleeps on until another moves it on: a futex, so that
// a wake-up costs one system call on each side and nothing else.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

class cWakeWord {
public:
    uint32_t current() const { return mWord.load(); }
    // Sleeps while the word still holds seen, until woken or until deadline
    // (absolute, CLOCK_MONOTONIC; nullptr: no limit). 0 when woken, when the
    // word had moved on or on a signal; otherwise the error (ETIMEDOUT at
    // the deadline).
    int waitWhile(uint32_t seen, const timespec* deadline);
    // Moves the word on and wakes one sleeper, if any.
    void advanceAndWakeOne();

private:
    std::atomic<uint32_t> mWord{0};
};
