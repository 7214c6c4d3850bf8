#include "queue/cPktQueue.h"

#include "status/daemonCounters.h"

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

// A new entry holding a copy of len bytes (len >= 0), or nullptr when memory
// runs out. The entry and its bytes share one allocation: one call to the
// allocator per packet each way instead of two.
PktEntry* newEntry(const void* data, int len, const sockaddr_in& source, in_addr local, int segment)
{
    void* block = ::operator new(sizeof(PktEntry) + static_cast<std::size_t>(len), std::nothrow);
    if (block == nullptr)
        return nullptr;
    PktEntry* entry = new (block) PktEntry;
    entry->bytes = reinterpret_cast<char*>(entry + 1);
    entry->length = len;
    entry->source = source;
    entry->local = local;
    entry->segment = segment;
    if (len > 0)
        std::memcpy(entry->bytes, data, static_cast<std::size_t>(len));
    return entry;
}

void releaseEntry(PktEntry* entry)
{
    entry->~PktEntry();
    ::operator delete(entry);
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

    // Deadlines are taken from the monotonic clock, so setting the wall clock
    // neither shortens nor lengthens a wait.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&mNotEmpty, &attr);
    pthread_condattr_destroy(&attr);
}

// Entries still queued are owned by the queue and go with it. Nobody may use
// a queue while it is destroyed (it only ends with its owner).
cPktQueue::~cPktQueue()
{
    for (PktEntry* entry : mEntries)
        releaseEntry(entry);
    mEntries.clear();
    pthread_cond_destroy(&mNotEmpty);
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
    bool admitted = admit(data, len, source, local, segment, reportDrop, wake);
    // After unlocking, and only when a consumer sleeps: a busy consumer finds
    // the entry on its next wait without a wake-up, and a dropped packet
    // leaves nothing to wake for.
    if (wake)
        pthread_cond_signal(&mNotEmpty);
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

bool cPktQueue::admit(const void* data, int len, const sockaddr_in& source, in_addr local,
                      int segment, bool reportDrop, bool& wake)
{
    cMutexHold hold(mLock);
    if (full(len)) {
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

    // Out of memory drops the packet (false) instead of throwing out of the
    // receive loop.
    PktEntry* entry = newEntry(data, len, source, local, segment);
    if (entry == nullptr)
        return false;
    try {
        mEntries.push_back(entry);
    } catch (const std::bad_alloc&) {
        releaseEntry(entry);
        return false;
    }
    mBytes += len;
    wake = mSleepers > 0;
    return true;
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

// Both waits stop on any non-zero code, not only on a time-out: an error code
// from the condition variable ends the wait as a failure instead of spinning.
int cPktQueue::waitWithoutLimit()
{
    mDebug << "Q Wait NO timeout.." << std::endl;
    int result = 0;
    ++mSleepers;
    while (mEntries.empty() && result == 0)
        result = pthread_cond_wait(&mNotEmpty, &mLock);
    --mSleepers;
    return result;
}

int cPktQueue::waitUntil(std::chrono::milliseconds timeout)
{
    // Formed once: wake-ups that find the queue still empty do not push the
    // deadline back. Whole seconds leave the nanoseconds as they are.
    const long kNanosPerSecond = 1000000000L;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeout.count() / 1000);
    deadline.tv_nsec += static_cast<long>(timeout.count() % 1000) * 1000000L;
    if (deadline.tv_nsec >= kNanosPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosPerSecond;
    }

    mDebug << "Q Wait on timeout.." << std::endl;
    int result = 0;
    ++mSleepers;
    while (mEntries.empty() && result == 0)
        result = pthread_cond_timedwait(&mNotEmpty, &mLock, &deadline);
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
    PktEntry* entry;
    {
        cMutexHold hold(mLock);
        if (mEntries.empty())
            return 0;
        entry = mEntries.front();
        mEntries.pop_front();
        mBytes -= entry->length;
    }

    // Copy and release outside the lock so a producer never waits on the
    // consumer's copy. Bytes beyond the buffer are lost. A negative buffer
    // length (or no buffer) copies nothing rather than overrunning memory;
    // the entry is taken all the same, as with a zero-length buffer.
    int count = bufferLen < entry->length ? bufferLen : entry->length;
    if (count < 0 || buffer == nullptr)
        count = 0;
    if (count > 0)
        std::memcpy(buffer, entry->bytes, static_cast<std::size_t>(count));
    if (source != nullptr)
        *source = entry->source;
    if (local != nullptr)
        *local = entry->local;
    if (segment != nullptr)
        *segment = entry->segment;
    releaseEntry(entry);
    return count;
}

void cPktQueue::reportDrops(long long nowSeconds)
{
    cMutexHold hold(mLock);
    if (!mInBurst)
        return;
    if (mBurstStartPending) {
        // The burst's ERROR line counts as its first record: the summaries
        // follow it at the pacer's interval, starting afresh for each burst.
        mBurstStartPending = false;
        mDropPacer = cSummaryPacer(kDropReportSeconds);
        mDropPacer.due(nowSeconds);
        mLastRecord = nowSeconds;
        return;
    }
    if (!mDropPacer.due(nowSeconds))
        return;
    if (mDropsSinceRecord == 0) {
        // A whole interval without a drop: the next one is a new burst.
        mInBurst = false;
        return;
    }
    mInfo << "Queue overflow: " << mDropsSinceRecord << " packets dropped in the last "
          << nowSeconds - mLastRecord << " s" << std::endl;
    mDropsSinceRecord = 0;
    mLastRecord = nowSeconds;
}
