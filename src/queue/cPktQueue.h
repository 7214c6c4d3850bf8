// Bounded, thread-safe first-in first-out queue of packets.
#pragma once

#include "log/cSummaryPacer.h"
#include "log/cWlog.h"
#include "queue/cWakeWord.h"

#include <netinet/in.h>
#include <pthread.h>

#include <chrono>
#include <deque>
#include <vector>

// One queued packet: a private copy of its bytes, its sender and the local
// address it arrived at (all zero when pushed without them).
struct PktEntry {
    char* bytes;
    int length;
    // Room behind bytes: an entry is kept for reuse once popped.
    int capacity;
    sockaddr_in source;
    in_addr local;
    // Datagrams coalesced by the kernel: the size of each (the last may be
    // shorter); 0 for one datagram or frame.
    int segment;
};

// Producers push copies of packets; one consumer calls wait and, only when
// it returns true, pop once. Logs to the category "cPktQueu": the first
// overflow of a burst at once, the rest as summaries written by reportDrops.
class cPktQueue : public cWlog {
public:
    // At most limit entries and, when byteLimit > 0, at most byteLimit bytes
    // in them (an entry alone may be larger).
    explicit cPktQueue(int limit, long long byteLimit = 0);
    virtual ~cPktQueue();

    cPktQueue(const cPktQueue&) = delete;
    cPktQueue& operator=(const cPktQueue&) = delete;

    // True when admitted; false when dropped (full queue: an overflow, logged
    // when it starts a burst, counted for reportDrops otherwise) or refused
    // (negative length, not logged).
    bool push(const void* data, int len, sockaddr_in source);
    bool push(const void* data, int len, sockaddr_in source, in_addr local, int segment = 0);
    // The same with an all-zero source; a full queue drops silently.
    bool push(const void* data, int len);
    // True when an entry is queued; false after timeoutSec seconds without
    // one. timeoutSec <= 0 waits without limit.
    bool wait(int timeoutSec);
    // The same with the time-out in milliseconds: wait(n) is waitFor(seconds(n)).
    bool waitFor(std::chrono::milliseconds timeout);
    // Removes the oldest entry and copies at most bufferLen of its bytes;
    // returns the count copied, 0 when the queue is empty.
    int pop(void* buffer, int bufferLen, sockaddr_in* source);
    int pop(void* buffer, int bufferLen, sockaddr_in* source, in_addr* local,
            int* segment = nullptr);
    int pop(void* buffer, int bufferLen);

    // One entry of popBatch: its bytes at buffer + offset.
    struct sPopped {
        int offset;
        int length;
        sockaddr_in source;
        in_addr local;
        int segment;
    };
    // Removes the oldest entries, at most maxEntries and as many as fit in
    // bufferLen together (the first always, cut to bufferLen like pop), and
    // copies them end to end into buffer. Returns how many; 0 when empty.
    int popBatch(char* buffer, int bufferLen, sPopped* popped, int maxEntries);
    // Writes the summary of the overflows since the previous overflow record
    // when one is due (at most one per 10 s, never one of 0 drops); a due
    // time without drops ends the burst. now: nanoseconds of CLOCK_MONOTONIC.
    void reportDrops(long long now);

private:
    bool pushEntry(const void* data, int len, const sockaddr_in& source, in_addr local, int segment,
                   bool reportDrop);
    bool pushIntoSpare(const void* data, int len, const sockaddr_in& source, in_addr local, int segment,
                       bool reportDrop, bool& admitted, bool& wake);
    PktEntry* entryFor(int len, bool reportDrop, bool& dropped);
    bool admit(PktEntry* entry, bool reportDrop, bool& wake);
    bool enqueue(PktEntry* entry, bool& wake);
    bool overflow(bool reportDrop);
    bool full(int len) const;
    void recycle(PktEntry* entry);
    int waitWithoutLimit();
    int waitUntil(std::chrono::milliseconds timeout);
    int sleepUntilPushed(const timespec* deadline);
    int popEntry(void* buffer, int bufferLen, sockaddr_in* source, in_addr* local, int* segment);

    int mLimit;
    long long mByteLimit;
    long long mBytes = 0;
    // Consumers asleep on mPushes: a push wakes one only when one is.
    int mSleepers;
    std::deque<PktEntry*> mEntries;
    // Popped entries kept for the next pushes, so that a steady flow calls
    // the allocator (and touches fresh pages) only while it grows.
    std::vector<PktEntry*> mSpareFrames;
    std::vector<PktEntry*> mSpareReads;
    std::size_t mMaxSpareFrames;
    std::size_t mMaxSpareReads;
    // Overflow records: a burst starts with the ERROR line written by the push
    // that dropped; its time is taken by the next reportDrops (push reads no
    // clock). The rest of the burst is counted in mDropsSinceRecord.
    bool mInBurst;
    bool mBurstStartPending;
    long long mDropsSinceRecord;
    long long mLastRecord;
    cSummaryPacer mDropPacer;
    pthread_mutex_t mLock;
    // Moves on at each push that wakes a consumer; consumers sleep on it
    // with the lock released. A condition variable would cost each hand-off
    // one more system call: glibc marks the mutex contended when a wait
    // returns, so the consumer's next unlock makes a wake-up call.
    cWakeWord mPushes;
};
