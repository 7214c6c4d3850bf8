// What a producer and a consumer see of the queue's contents: order, limit,
// copies, truncation and sources.
#include "queueTestSupport.h"

#include "log/monotonicClock.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string popText(cPktQueue& queue, sockaddr_in* source = nullptr)
{
    char buffer[2048];
    int n = source ? queue.pop(buffer, sizeof buffer, source) : queue.pop(buffer, sizeof buffer);
    return std::string(buffer, static_cast<std::size_t>(n));
}

} // namespace

// A queue of limit entries, and the records it writes.
template <int limit>
class QueueOf : public testing::Test {
protected:
    cLogCapture mLog;
    cPktQueue mQueue{limit};
};

using QueueOrder = QueueOf<1024>;

TEST_F(QueueOrder, PacketsComeOutInPushOrderEachWithItsOwnSenderAndNothingIsLogged)
{
    sockaddr_in first = endpoint("192.0.2.1", 3653);
    sockaddr_in second = endpoint("203.0.113.77", 40000);
    std::string a = "first datagram";
    std::string b = "second";
    ASSERT_TRUE(mQueue.push(a.data(), static_cast<int>(a.size()), first));
    ASSERT_TRUE(mQueue.push(b.data(), static_cast<int>(b.size()), second));
    ASSERT_TRUE(mQueue.push("tun frame", 9));
    a[0] = 'X'; // the queue holds its own copy

    sockaddr_in from;
    EXPECT_EQ("first datagram", popText(mQueue, &from));
    EXPECT_TRUE(sameSource(first, from));
    EXPECT_EQ("second", popText(mQueue, &from));
    EXPECT_TRUE(sameSource(second, from));
    EXPECT_EQ("tun frame", popText(mQueue));
    EXPECT_EQ("", popText(mQueue));
    EXPECT_EQ(Records{}, mLog.records());
}

class QueueLimit : public testing::Test {
protected:
    void fill()
    {
        for (int i = 0; i < 1024; ++i)
            ASSERT_TRUE(mFull.push(&i, sizeof i, mSource)) << "push " << i + 1;
    }
    cLogCapture mLog;
    sockaddr_in mSource = endpoint("198.51.100.9", 5000);
    cPktQueue mFull{1024};
    cPktQueue mNone{0};
};

TEST_F(QueueLimit, FullQueueDropsWithOneErrorLineOnlyForThePushWithASource)
{
    fill();

    int extra = 1025;
    EXPECT_FALSE(mFull.push(&extra, sizeof extra, mSource));
    EXPECT_EQ(Records{kOverflow}, mLog.records());

    EXPECT_FALSE(mFull.push(&extra, sizeof extra));
    EXPECT_EQ(Records{}, mLog.records());

    int value = -1;
    ASSERT_EQ(static_cast<int>(sizeof value), mFull.pop(&value, sizeof value));
    EXPECT_EQ(0, value); // the dropped packets changed nothing at the front
}

TEST_F(QueueLimit, OnePopMakesRoomForExactlyOneMorePacket)
{
    fill();
    int value;
    ASSERT_EQ(static_cast<int>(sizeof value), mFull.pop(&value, sizeof value));

    int again = 2000;
    EXPECT_TRUE(mFull.push(&again, sizeof again));
    EXPECT_FALSE(mFull.push(&again, sizeof again));

    for (int i = 1; i < 1024; ++i)
        ASSERT_EQ(static_cast<int>(sizeof value), mFull.pop(&value, sizeof value));
    ASSERT_EQ(static_cast<int>(sizeof value), mFull.pop(&value, sizeof value));
    EXPECT_EQ(2000, value);
    EXPECT_EQ(0, mFull.pop(&value, sizeof value));
}

TEST_F(QueueLimit, LimitZeroDropsEveryPush)
{
    EXPECT_FALSE(mNone.push("a", 1, mSource));
    EXPECT_FALSE(mNone.push("b", 1));
    EXPECT_FALSE(mNone.push("", 0, mSource));
    EXPECT_EQ(Records{kOverflow}, mLog.records()); // the third is counted, not written
    char c = 'z';
    EXPECT_EQ(0, mNone.pop(&c, 1));
    EXPECT_EQ('z', c);
}

TEST_F(QueueLimit, ABurstIsOneErrorLineThenAtMostOneSummaryPerTenSeconds)
{
    auto dropThenReportAt = [&](int drops, long long now) {
        for (int i = 0; i < drops; ++i)
            EXPECT_FALSE(mNone.push("x", 1, mSource));
        mNone.reportDrops(now * kNanosPerSecond);
        return mLog.records();
    };
    auto summary = [](const char* rest) { return Records{kDropSummary + std::string(rest)}; };
    EXPECT_EQ(Records{kOverflow}, dropThenReportAt(3, 100)); // the burst starts at 100
    EXPECT_FALSE(mNone.push("tun", 3)); // silent and not counted
    EXPECT_EQ(Records{}, dropThenReportAt(2, 109));
    EXPECT_EQ(summary("4 packets dropped in the last 10 s"), dropThenReportAt(0, 110));
    EXPECT_EQ(summary("1 packets dropped in the last 15 s"), dropThenReportAt(1, 125));
    EXPECT_EQ(Records{}, dropThenReportAt(0, 140)); // a quiet interval ends the burst
    EXPECT_EQ(Records{kOverflow}, dropThenReportAt(2, 141));
    EXPECT_EQ(Records{}, dropThenReportAt(0, 150));
    EXPECT_EQ(summary("1 packets dropped in the last 10 s"), dropThenReportAt(0, 151));
}

using QueuePop = QueueOf<16>;

TEST_F(QueuePop, EmptyPacketIsQueuedAndPopsAsZeroBytes)
{
    sockaddr_in source = endpoint("192.0.2.200", 1);
    ASSERT_TRUE(mQueue.push("", 0, source));
    ASSERT_TRUE(mQueue.push("next", 4));

    char buffer[8] = "untouch";
    sockaddr_in from;
    std::memset(&from, 0xab, sizeof from);
    EXPECT_EQ(0, mQueue.pop(buffer, sizeof buffer, &from));
    EXPECT_TRUE(sameSource(source, from));
    EXPECT_STREQ("untouch", buffer);
    EXPECT_EQ("next", popText(mQueue)); // the empty packet was taken
}

TEST_F(QueuePop, ShortBufferGetsThePacketsHeadAndTheRestIsGone)
{
    std::string packet = "0123456789abcdefghij";
    ASSERT_TRUE(mQueue.push(packet.data(), static_cast<int>(packet.size())));
    ASSERT_TRUE(mQueue.push("tail", 4));

    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(8, mQueue.pop(buffer, 8));
    EXPECT_EQ("01234567########", std::string(buffer, sizeof buffer));
    EXPECT_EQ("tail", popText(mQueue));
    EXPECT_EQ(0, mQueue.pop(buffer, sizeof buffer));
}

TEST_F(QueuePop, PacketPushedWithoutSenderPopsWithAllZeroSender)
{
    ASSERT_TRUE(mQueue.push("frame", 5));
    sockaddr_in from;
    std::memset(&from, 0xff, sizeof from);
    EXPECT_EQ("frame", popText(mQueue, &from));
    const unsigned char zero[sizeof from] = {};
    EXPECT_EQ(0, std::memcmp(zero, &from, sizeof from));
}

TEST_F(QueuePop, BatchTakesWhatFitsEndToEndTheFirstAlwaysAndTheRestLater)
{
    for (const char* packet : {"one", "three", "sixteen bytes..."})
        ASSERT_TRUE(mQueue.push(packet, static_cast<int>(std::strlen(packet))));
    char buffer[10];
    cPktQueue::sPopped popped[4];
    ASSERT_EQ(2, mQueue.popBatch(buffer, sizeof buffer, popped, 4));
    EXPECT_EQ("onethree", std::string(buffer, 8));
    EXPECT_EQ(3, popped[1].offset);
    EXPECT_EQ(5, popped[1].length);
    // Alone, the entry that did not fit is cut to the buffer.
    ASSERT_EQ(1, mQueue.popBatch(buffer, sizeof buffer, popped, 4));
    EXPECT_EQ("sixteen by", std::string(buffer + popped[0].offset, static_cast<std::size_t>(popped[0].length)));
    EXPECT_EQ(0, mQueue.popBatch(buffer, sizeof buffer, popped, 4));
}

using QueueRefusal = QueueOf<1>;

TEST_F(QueueRefusal, NegativeLengthIsRefusedSilentlyAndTakesNoRoom)
{
    sockaddr_in source = endpoint("203.0.113.5", 9);
    EXPECT_FALSE(mQueue.push("junk", -1, source));
    EXPECT_FALSE(mQueue.push("junk", -2048));
    EXPECT_EQ(Records{}, mLog.records());

    // The limit of one is still free for a real packet.
    EXPECT_TRUE(mQueue.push("real", 4, source));
    EXPECT_EQ("real", popText(mQueue));
    EXPECT_EQ(0, mQueue.pop(nullptr, 0));
}

TEST_F(QueueRefusal, NegativeBufferLengthCopiesNothingAndTakesThePacket)
{
    ASSERT_TRUE(mQueue.push("abcdef", 6));
    char buffer[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(0, mQueue.pop(buffer, -5));
    EXPECT_EQ("wxyz", std::string(buffer, sizeof buffer));
    EXPECT_TRUE(mQueue.push("g", 1)); // room again: the entry was taken
}
