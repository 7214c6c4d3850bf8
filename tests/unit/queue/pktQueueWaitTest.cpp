// The consumer's side: waiting for packets, time-outs, wake-ups, and many
// producers feeding one consumer.
#include "queueTestSupport.h"

#include "log/monotonicClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const char kNoWaiting[] = "DEBUG cPktQueu No waiting, we still have stuff in the FIFO ";
const char kWaitTimeout[] = "DEBUG cPktQueu Q Wait on timeout..";
const char kWaitForever[] = "DEBUG cPktQueu Q Wait NO timeout..";
const char kTimedOut[] = "DEBUG cPktQueu Q timeout 110";
const char kAction[] = "DEBUG cPktQueu Q got some action 0";

// Long enough to see a waiter block, short enough to wait out in every test.
const milliseconds kShort(50);

// Calls `done` every 200 microseconds until it returns true (true) or `limit`
// has passed (false).
template <class Done>
bool within(Clock::duration limit, Done done)
{
    Clock::time_point end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Collects records until `line` has arrived (at most two seconds).
bool awaitRecord(cLogCapture& log, Records& seen, const std::string& line)
{
    return within(seconds(2), [&] {
        for (const std::string& r : log.records())
            seen.push_back(r);
        return has(seen, line);
    });
}

} // namespace

class QueueWait : public testing::Test {
protected:
    cLogCapture mLog;
    cPktQueue mQueue{4};
};

TEST_F(QueueWait, QueuedPacketAnswersAtOnceWithOnlyTheNoWaitingLine)
{
    ASSERT_TRUE(mQueue.push("x", 1));
    EXPECT_TRUE(mQueue.wait(5));
    EXPECT_EQ(Records{kNoWaiting}, mLog.records()); // no timed wait was entered
    char c;
    EXPECT_EQ(1, mQueue.pop(&c, 1)); // waiting took nothing
}

TEST_F(QueueWait, EmptyQueueTimesOutAfterItsTimeoutWith110)
{
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(mQueue.waitFor(kShort));
    EXPECT_GE(Clock::now() - start, kShort);
    EXPECT_EQ((Records{kWaitTimeout, kTimedOut}), mLog.records());
}

// A timed wait (5 s) or one without a limit (0 or less) blocks until
// another thread pushes, and ends as soon as it does.
TEST_F(QueueWait, WaitBlocksUntilAnotherThreadPushes)
{
    const struct {
        int timeout;
        const char* waitLine;
    } cases[] = {{5, kWaitTimeout}, {0, kWaitForever}, {-3, kWaitForever}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeout);
        cPktQueue queue(4);
        std::atomic<bool> returned{false};
        std::atomic<bool> result{false};
        std::thread consumer([&] {
            result = queue.wait(c.timeout);
            returned = true;
        });
        Records seen;
        bool waiting = awaitRecord(mLog, seen, c.waitLine);
        EXPECT_FALSE(within(kShort, [&] { return returned.load(); })); // still blocked
        EXPECT_TRUE(queue.push("go", 2));
        consumer.join();
        ASSERT_TRUE(waiting);
        EXPECT_TRUE(result.load()); // a missed wake-up would time out: false
        awaitRecord(mLog, seen, kAction);
        EXPECT_EQ((Records{c.waitLine, kAction}), seen);
    }
}

TEST_F(QueueWait, DroppedPushesDoNotMoveTheWaitersDeadline)
{
    cPktQueue queue(0);
    std::atomic<bool> done{false};
    std::atomic<bool> result{true};
    Clock::time_point start = Clock::now();
    std::thread consumer([&] {
        result = queue.waitFor(kShort);
        done = true;
    });
    // Keep dropping packets until the waiter gives up: whether or not a drop
    // wakes it, a waiter that restarted its time-out on every wake-up, or
    // that counted a drop as an entry, would outlast two seconds of drops.
    int dropped = 0;
    bool gaveUpAmidDrops = within(seconds(2), [&] {
        if (!queue.push("drop", 4))
            ++dropped;
        return done.load();
    });
    consumer.join();
    EXPECT_TRUE(gaveUpAmidDrops);
    EXPECT_FALSE(result.load());
    EXPECT_GE(Clock::now() - start, kShort);
    EXPECT_GT(dropped, 10);
    EXPECT_EQ((Records{kWaitTimeout, kTimedOut}), mLog.records());
}

// Packet layout for the concurrency scenario: producer id, 32-bit sequence,
// then a payload whose length and bytes follow from both.
namespace {

const int kProducers = 4;
const int kPerProducer = 3000;
const unsigned char kStop = 0xff;

int payloadLength(std::uint32_t seq) { return static_cast<int>(seq % 97); }
unsigned char payloadByte(int producer, std::uint32_t seq, int k)
{
    return static_cast<unsigned char>(producer * 31 + seq + static_cast<std::uint32_t>(k) * 7);
}

std::vector<unsigned char> makePacket(int producer, std::uint32_t seq)
{
    std::vector<unsigned char> p(5 + static_cast<std::size_t>(payloadLength(seq)));
    p[0] = static_cast<unsigned char>(producer);
    std::memcpy(&p[1], &seq, sizeof seq);
    for (int k = 0; k < payloadLength(seq); ++k)
        p[5 + static_cast<std::size_t>(k)] = payloadByte(producer, seq, k);
    return p;
}

sockaddr_in producerSource(int producer)
{
    std::string address = "198.51.100." + std::to_string(producer + 1);
    return endpoint(address.c_str(), static_cast<unsigned short>(40000 + producer));
}

} // namespace

class QueueManyProducers : public testing::Test {
protected:
    void produce(int producer)
    {
        sockaddr_in source = producerSource(producer);
        for (std::uint32_t seq = 0; seq < kPerProducer; ++seq) {
            std::vector<unsigned char> p = makePacket(producer, seq);
            if (mQueue.push(p.data(), static_cast<int>(p.size()), source))
                mAdmitted[producer].push_back(seq);
            else
                pauseAfterDrop(producer);
        }
    }

    // A short pause after a drop lets the consumer catch up, so both admitted
    // and dropped pushes stay frequent.
    void pauseAfterDrop(int producer)
    {
        ++mDropped[producer];
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }

    // Returns false at the stop packet; records anything malformed.
    bool consumeOne(const unsigned char* p, int n, const sockaddr_in& from)
    {
        if (n == 1 && p[0] == kStop)
            return false;
        int producer = n >= 5 ? p[0] : -1;
        if (producer < 0 || producer >= kProducers) {
            mFaults.push_back("malformed packet of " + std::to_string(n) + " bytes");
            return true;
        }
        std::uint32_t seq;
        std::memcpy(&seq, p + 1, sizeof seq);
        std::vector<unsigned char> expected = makePacket(producer, seq);
        sockaddr_in source = producerSource(producer);
        if (static_cast<std::size_t>(n) != expected.size()
            || std::memcmp(p, expected.data(), expected.size()) != 0
            || !sameSource(from, source))
            mFaults.push_back("damaged packet " + std::to_string(producer) + "/" + std::to_string(seq));
        mReceived[producer].push_back(seq);
        return true;
    }

    void consume()
    {
        unsigned char buffer[2048];
        Clock::time_point end = Clock::now() + seconds(20);
        while (Clock::now() < end) {
            if (!mQueue.waitFor(kShort))
                continue;
            sockaddr_in from;
            int n = mQueue.pop(buffer, sizeof buffer, &from);
            // As the UDP worker does, with a clock that advances a second
            // every 50 packets, so bursts get summaries and end.
            mQueue.reportDrops(++mPops / 50 * kNanosPerSecond);
            if (!consumeOne(buffer, n, from))
                return;
        }
        mFaults.push_back("consumer gave up");
    }

    // The stop packet goes in after every producer is done (retried while the
    // queue is full), so the consumer sees it last.
    bool pushStop()
    {
        return within(seconds(5), [this] { return mQueue.push(&kStop, 1); });
    }

    cLogCapture mLog;
    cPktQueue mQueue{64};
    std::vector<std::uint32_t> mAdmitted[kProducers];
    std::vector<std::uint32_t> mReceived[kProducers];
    int mDropped[kProducers] = {};
    long long mPops = 0; // the consumer's until it is joined
    std::vector<std::string> mFaults; // written by the consumer only
};

TEST_F(QueueManyProducers, EveryAdmittedPacketArrivesOnceIntactAndInItsProducersOrder)
{
    std::thread consumer([this] { consume(); });
    std::vector<std::thread> producers;
    for (int i = 0; i < kProducers; ++i)
        producers.emplace_back([this, i] { produce(i); });
    for (std::thread& t : producers)
        t.join();
    bool stopped = pushStop();
    consumer.join();
    mQueue.reportDrops((mPops / 50 + 10) * kNanosPerSecond); // lets out the last burst's summary

    ASSERT_TRUE(stopped);
    EXPECT_EQ(std::vector<std::string>{}, mFaults);
    int admitted = 0;
    int dropped = 0;
    for (int i = 0; i < kProducers; ++i) {
        EXPECT_EQ(mAdmitted[i], mReceived[i]) << "producer " << i;
        EXPECT_EQ(kPerProducer, static_cast<int>(mAdmitted[i].size()) + mDropped[i]);
        admitted += static_cast<int>(mAdmitted[i].size());
        dropped += mDropped[i];
    }
    EXPECT_GT(admitted, 0);
    // Each burst's ERROR line stands for one drop, each summary for its count.
    long recorded = 0;
    for (const std::string& r : mLog.records()) {
        if (r == kOverflow)
            ++recorded;
        else if (r.compare(0, sizeof kDropSummary - 1, kDropSummary) == 0)
            recorded += std::stol(r.substr(sizeof kDropSummary - 1));
    }
    EXPECT_EQ(dropped, recorded);
    RecordProperty("dropped", dropped);
}
