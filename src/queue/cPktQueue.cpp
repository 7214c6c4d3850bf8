#include "queue/cPktQueue.h"

#include "counters/daemonCounters.h"
#include "log/monotonicClock.h"
#include "packet/frame.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

namespace {

const long long kDropReportSeconds = 10;

// Holds a queue's mutex for one scope, so no early return and no exception
// can leave it locked.
class cMutexHold {
public:
    explicit cMutexHold(pthread_mutex_t& mutex) : mMutex(mutex) { pthread_mutex_lock(&mMutex); }
    ~cMutexHold() { pthread_mutex_unlock(&mMutex); }

    cMutexHold(const cMutexHold&) = delete;
    cMutexHold& operator=(const cMutexHold&) = delete;

private:
    pthread_mutex_t& mMutex;
};

// Entries come in two sizes so that popped ones can serve later pushes:
// room for one frame or datagram, and room for one offloaded read or run of
// datagrams (64 KiB and its headers). Larger entries are made to measure.
const int kFrameCapacity = kFrameBufferSize;
const int kReadCapacity = 66 * 1024;
// Spare entries kept at most, by size, for a queue without a byte limit.
const std::size_t kSpareFrames = 128;
const std::size_t kSpareReads = 8;

// As many spares as the queue can hold entries of that size: a burst that
// filled the queue is served again without the allocator, and the queue's
// peak memory stays what its limits make it.
std::size_t spareLimit(int limit, long long byteLimit, int capacity, std::size_t otherwise)
{
    if (byteLimit <= 0)
        return otherwise;
    long long fit = byteLimit / capacity + 1;
    long long most = limit < fit ? limit : fit;
    return most > 0 ? static_cast<std::size_t>(most) : 0;
}

int capacityFor(int len)
{
    if (len <= kFrameCapacity)
        return kFrameCapacity;
    return len <= kReadCapacity ? kReadCapacity : len;
}

// A new entry with room for len bytes (len >= 0), or nullptr when memory
// runs out. The entry and its bytes share one allocation.
PktEntry* newEntry(int len)
{
    int capacity = capacityFor(len);
    void* block = ::operator new(sizeof(PktEntry) + static_cast<std::size_t>(capacity), std::nothrow);
    if (block == nullptr)
        return nullptr;
    PktEntry* entry = new (block) PktEntry;
    entry->bytes = reinterpret_cast<char*>(entry + 1);
    entry->capacity = capacity;
    return entry;
}

void fillEntry(PktEntry* entry, const void* data, int len, const sockaddr_in& source, in_addr local,
               int segment)
{
    entry->length = len;
    entry->source = source;
    entry->local = local;
    entry->segment = segment;
    if (len > 0)
        std::memcpy(entry->bytes, data, static_cast<std::size_t>(len));
}

void releaseEntry(PktEntry* entry)
{
    entry->~PktEntry();
    ::operator delete(entry);
}

PktEntry* takeSpare(std::vector<PktEntry*>& spares)
{
    if (spares.empty())
        return nullptr;
    PktEntry* entry = spares.back();
    spares.pop_back();
    return entry;
}

} // namespace

cPktQueue::cPktQueue(int limit, long long byteLimit)
    : cWlog("cPktQueu"),
      mLimit(limit),
      mByteLimit(byteLimit),
      mSleepers(0),
      mInBurst(false),
      mBurstStartPending(false),
      mDropsSinceRecord(0),
      mLastRecord(0),
      mDropPacer(kDropReportSeconds)
{
    pthread_mutex_init(&mLock, nullptr);
    mMaxSpareFrames = spareLimit(limit, byteLimit, kFrameCapacity, kSpareFrames);
    mMaxSpareReads = spareLimit(limit, byteLimit, kReadCapacity, kSpareReads);
    mSpareFrames.reserve(mMaxSpareFrames);
    mSpareReads.reserve(mMaxSpareReads);
}

// Entries still queued are owned by the queue and go with it. Nobody may use
// a queue while it is destroyed (it only ends with its owner).
cPktQueue::~cPktQueue()
{
    for (PktEntry* entry : mEntries)
        releaseEntry(entry);
    mEntries.clear();
    for (PktEntry* entry : mSpareFrames)
        releaseEntry(entry);
    for (PktEntry* entry : mSpareReads)
        releaseEntry(entry);
    pthread_mutex_destroy(&mLock);
}

bool cPktQueue::push(const void* data, int len, sockaddr_in source)
{
    in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return pushEntry(data, len, source, any, 0, true);
}

bool cPktQueue::push(const void* data, int len, sockaddr_in source, in_addr local, int segment)
{
    return pushEntry(data, len, source, local, segment, true);
}

bool cPktQueue::push(const void* data, int len)
{
    sockaddr_in none;
    std::memset(&none, 0, sizeof none);
    return pushEntry(data, len, none, none.sin_addr, 0, false);
}

bool cPktQueue::pushEntry(const void* data, int len, const sockaddr_in& source, in_addr local,
                          int segment, bool reportDrop)
{
    // A negative count is a failed receive, not a packet: it is refused before
    // anything is allocated, without a log line (the caller already knows the
    // receive failed) and without a signal (the queue is unchanged). Missing
    // bytes are refused the same way.
    if (len < 0 || (data == nullptr && len > 0))
        return false;

    bool wake = false;
    bool admitted = false;
    if (!pushIntoSpare(data, len, source, local, segment, reportDrop, admitted, wake)) {
        // The lock is held only to take and to queue an entry: the
        // allocator and the copy of a large entry run outside it, so the
        // consumer never waits on them.
        bool dropped = false;
        PktEntry* entry = entryFor(len, reportDrop, dropped);
        if (dropped)
            return false;
        // Out of memory drops the packet instead of throwing out of the
        // receive loop.
        if (entry == nullptr && (entry = newEntry(len)) == nullptr)
            return false;
        fillEntry(entry, data, len, source, local, segment);
        admitted = admit(entry, reportDrop, wake);
    }
    // After unlocking, and only when a consumer sleeps: a busy consumer finds
    // the entry on its next wait without a wake-up, and a dropped packet
    // leaves nothing to wake for.
    if (wake)
        mPushes.advanceAndWakeOne();
    return admitted;
}

// Whole reads of an offloading device are up to 64 KB: the byte limit keeps
// a burst of them within the memory of a queue of single frames.
bool cPktQueue::full(int len) const
{
    if (static_cast<long long>(mEntries.size()) >= mLimit)
        return true;
    return mByteLimit > 0 && !mEntries.empty() && mBytes + len > mByteLimit;
}

// The common case under one lock: a frame or datagram copied into a spare
// entry (a short copy). False, with nothing done, when there is no spare
// entry for it; a full queue drops here.
bool cPktQueue::pushIntoSpare(const void* data, int len, const sockaddr_in& source, in_addr local,
                              int segment, bool reportDrop, bool& admitted, bool& wake)
{
    cMutexHold hold(mLock);
    if (full(len)) {
        admitted = overflow(reportDrop);
        return true;
    }
    if (len > kFrameCapacity || mSpareFrames.empty())
        return false;
    PktEntry* entry = takeSpare(mSpareFrames);
    fillEntry(entry, data, len, source, local, segment);
    admitted = enqueue(entry, wake);
    return true;
}

// A full queue drops before anything is copied; otherwise a spare entry
// with room for len bytes, or nullptr when a new one is needed.
PktEntry* cPktQueue::entryFor(int len, bool reportDrop, bool& dropped)
{
    cMutexHold hold(mLock);
    if (full(len)) {
        dropped = true;
        overflow(reportDrop);
        return nullptr;
    }
    if (len <= kFrameCapacity)
        return takeSpare(mSpareFrames);
    return len <= kReadCapacity ? takeSpare(mSpareReads) : nullptr;
}

// A drop for want of room: counted, and logged when it starts a burst.
// Returns false, what the push returns.
bool cPktQueue::overflow(bool reportDrop)
{
    countDrop(DROP_QUEUE_OVERFLOW);
    if (!reportDrop)
        return false;
    if (mInBurst) {
        ++mDropsSinceRecord;
        return false;
    }
    mInBurst = true;
    mBurstStartPending = true;
    mError << "Queue overflow. Dropping packet" << std::endl;
    return false;
}

// The queue may have filled since entryFor when producers share it.
bool cPktQueue::admit(PktEntry* entry, bool reportDrop, bool& wake)
{
    cMutexHold hold(mLock);
    if (full(entry->length)) {
        recycle(entry);
        return overflow(reportDrop);
    }
    return enqueue(entry, wake);
}

// Under the lock: the entry joins the queue, or is kept as a spare when the
// queue cannot grow (out of memory: the packet is dropped).
bool cPktQueue::enqueue(PktEntry* entry, bool& wake)
{
    try {
        mEntries.push_back(entry);
    } catch (const std::bad_alloc&) {
        recycle(entry);
        return false;
    }
    mBytes += entry->length;
    wake = mSleepers > 0;
    return true;
}

// Under the lock: a popped or refused entry becomes a spare while there is
// room for one of its size.
void cPktQueue::recycle(PktEntry* entry)
{
    std::vector<PktEntry*>* spares = nullptr;
    if (entry->capacity == kFrameCapacity && mSpareFrames.size() < mMaxSpareFrames)
        spares = &mSpareFrames;
    else if (entry->capacity == kReadCapacity && mSpareReads.size() < mMaxSpareReads)
        spares = &mSpareReads;
    if (spares == nullptr) {
        releaseEntry(entry);
        return;
    }
    try {
        spares->push_back(entry);
    } catch (const std::bad_alloc&) {
        releaseEntry(entry);
    }
}

bool cPktQueue::wait(int timeoutSec)
{
    return waitFor(std::chrono::seconds(timeoutSec));
}

bool cPktQueue::waitFor(std::chrono::milliseconds timeout)
{
    cMutexHold hold(mLock);
    if (!mEntries.empty()) {
        mDebug << "No waiting, we still have stuff in the FIFO " << std::endl;
        return true;
    }

    // The result follows the last wait's code, not the queue: a time-out that
    // coincides with a push reports false and leaves the entry for the next call.
    int result = timeout.count() <= 0 ? waitWithoutLimit() : waitUntil(timeout);
    if (result != 0) {
        mDebug << "Q timeout " << result << std::endl;
        return false;
    }
    mDebug << "Q got some action " << result << std::endl;
    return true;
}

int cPktQueue::waitWithoutLimit()
{
    mDebug << "Q Wait NO timeout.." << std::endl;
    return sleepUntilPushed(nullptr);
}

int cPktQueue::waitUntil(std::chrono::milliseconds timeout)
{
    // Formed once: wake-ups that find the queue still empty do not push the
    // deadline back. Whole seconds leave the nanoseconds as they are.
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeout.count() / 1000);
    deadline.tv_nsec += static_cast<long>(timeout.count() % 1000) * 1000000L;
    if (deadline.tv_nsec >= kNanosPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosPerSecond;
    }

    mDebug << "Q Wait on timeout.." << std::endl;
    return sleepUntilPushed(&deadline);
}

// Called and returns with mLock held. Stops on any non-zero code, not only
// on a time-out: an error from the kernel ends the wait as a failure
// instead of spinning. A push between reading mPushes and sleeping has moved
// it on, so the sleep returns at once.
int cPktQueue::sleepUntilPushed(const timespec* deadline)
{
    int result = 0;
    ++mSleepers;
    while (mEntries.empty() && result == 0) {
        uint32_t seen = mPushes.current();
        pthread_mutex_unlock(&mLock);
        result = mPushes.waitWhile(seen, deadline);
        pthread_mutex_lock(&mLock);
    }
    --mSleepers;
    return result;
}

int cPktQueue::pop(void* buffer, int bufferLen, sockaddr_in* source)
{
    return popEntry(buffer, bufferLen, source, nullptr, nullptr);
}

int cPktQueue::pop(void* buffer, int bufferLen, sockaddr_in* source, in_addr* local, int* segment)
{
    return popEntry(buffer, bufferLen, source, local, segment);
}

int cPktQueue::pop(void* buffer, int bufferLen)
{
    return popEntry(buffer, bufferLen, nullptr, nullptr, nullptr);
}

int cPktQueue::popEntry(void* buffer, int bufferLen, sockaddr_in* source, in_addr* local,
                        int* segment)
{
    // A negative buffer length (or no buffer) copies nothing rather than
    // overrunning memory; the entry is taken all the same, as with a
    // zero-length buffer.
    sPopped popped;
    if (buffer == nullptr || bufferLen < 0)
        bufferLen = 0;
    if (popBatch(static_cast<char*>(buffer), bufferLen, &popped, 1) == 0)
        return 0;
    if (source != nullptr)
        *source = popped.source;
    if (local != nullptr)
        *local = popped.local;
    if (segment != nullptr)
        *segment = popped.segment;
    return popped.length;
}

int cPktQueue::popBatch(char* buffer, int bufferLen, sPopped* popped, int maxEntries)
{
    const int kMaxTaken = 64;
    PktEntry* taken[kMaxTaken];
    int count = 0;
    maxEntries = maxEntries < kMaxTaken ? maxEntries : kMaxTaken;
    {
        cMutexHold hold(mLock);
        long long room = bufferLen;
        while (count < maxEntries && !mEntries.empty()) {
            PktEntry* entry = mEntries.front();
            if (count > 0 && entry->length > room)
                break;
            mEntries.pop_front();
            mBytes -= entry->length;
            room -= entry->length;
            taken[count++] = entry;
        }
    }

    // Copied outside the lock so a producer never waits on the consumer's
    // copy. Bytes beyond the buffer are lost.
    int offset = 0;
    for (int i = 0; i < count; ++i) {
        PktEntry* entry = taken[i];
        int length = entry->length < bufferLen - offset ? entry->length : bufferLen - offset;
        if (length > 0)
            std::memcpy(buffer + offset, entry->bytes, static_cast<std::size_t>(length));
        popped[i] = {offset, length, entry->source, entry->local, entry->segment};
        offset += length;
    }
    cMutexHold hold(mLock);
    for (int i = 0; i < count; ++i)
        recycle(taken[i]);
    return count;
}

void cPktQueue::reportDrops(long long now)
{
    cMutexHold hold(mLock);
    if (!mInBurst)
        return;
    if (mBurstStartPending) {
        // The burst's ERROR line counts as its first record: the summaries
        // follow it at the pacer's interval, starting afresh for each burst.
        mBurstStartPending = false;
        mDropPacer = cSummaryPacer(kDropReportSeconds);
        mDropPacer.due(now);
        mLastRecord = now;
        return;
    }
    if (!mDropPacer.due(now))
        return;
    if (mDropsSinceRecord == 0) {
        // A whole interval without a drop: the next one is a new burst.
        mInBurst = false;
        return;
    }
    mInfo << "Queue overflow: " << mDropsSinceRecord << " packets dropped in the last "
          << wholeSeconds(now) - wholeSeconds(mLastRecord) << " s" << std::endl;
    mDropsSinceRecord = 0;
    mLastRecord = now;
}
