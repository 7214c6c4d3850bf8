// The TUN worker's pass: its log line, and delivery to the tunnel a frame is
// for (multicast and broadcast delivery: to every established tunnel).
#include "brokerHarness.h"

#include <cstring>

namespace {

std::string headerFrame(size_t len, uint16_t flags)
{
    std::string frame(len, 'x');
    std::memcpy(&frame[0], &flags, sizeof(flags)); // host order, as the kernel writes it
    frame[2] = '\x86';
    frame[3] = '\xdd';
    return frame;
}

} // namespace

class TunFrames : public cBrokerHarness {
protected:
    void fromTun(std::string frame, int n)
    {
        frame.resize(kFrameBufferSize, '\xff');
        mMode->handleTunFrame(mHost, &frame[0], n, kNow);
    }
    void fromTun(const std::string& frame) { fromTun(frame, static_cast<int>(frame.size())); }
};

TEST_F(TunFrames, FrameGoesOnlyToTheTunnelOfItsDestinationMulticastToAll)
{
    cTestSocket a, b;
    establish(a, "7");
    establish(b, "8");

    std::string toA = ip6Frame("2001:db8::1", "2001:db8::7");
    fromTun(toA);
    EXPECT_EQ(toA, sentTo(a));
    EXPECT_EQ("<none>", sentTo(b));
    EXPECT_TRUE(has(mLog.records(), "DEBUG cTunnel TX 48 bytes over tunnel"));

    std::string multicast = ip6Frame("2001:db8::1", "ff02::1");
    fromTun(multicast);
    EXPECT_EQ(multicast, sentTo(a));
    EXPECT_EQ(multicast, sentTo(b));

    // Nobody holds 2001:db8::9, and a short frame has no destination.
    fromTun(ip6Frame("2001:db8::1", "2001:db8::9"));
    fromTun(toA, 43);
    EXPECT_EQ("<none>", sentTo(a));
    EXPECT_EQ("<none>", sentTo(b));
    auto records = mLog.records();
    EXPECT_TRUE(has(records, "DEBUG cBroker No tunnel for the frame's destination, 48 bytes dropped"));
    EXPECT_TRUE(has(records, "INFO cBroker No tunnel for the destination: 1 frames from the TUN device "
                             "dropped since the last report"));
    EXPECT_EQ(2u, mMode->undeliveredFrames());
    mMode->flushTunReports(kNow + 9 * kSecond);
    EXPECT_FALSE(anyStartsWith(mLog.records(), "INFO "));
    mMode->flushTunReports(kNow + 10 * kSecond);
    EXPECT_TRUE(has(mLog.records(), "INFO cBroker No tunnel for the destination: 1 frames from the TUN "
                                    "device dropped since the last report"));
}

TEST_F(TunFrames, BatchKeepsEachTunnelsFramesInOrderOneDatagramEach)
{
    // Through the queue as the worker takes it: equal frames to one tunnel
    // leave as one run, a frame to another tunnel ends it.
    cTestSocket a, b;
    establish(a, "7");
    establish(b, "8");
    std::string toA = ip6Frame("2001:db8::1", "2001:db8::7");
    std::string toB = ip6Frame("2001:db8::1", "2001:db8::8");
    std::string lastToA = toA + "tail";
    cPktQueue queue(16);
    for (const std::string* frame : {&toA, &toA, &toB, &toA, &lastToA})
        queue.push(frame->data(), static_cast<int>(frame->size()));
    char bytes[4096];
    cPktQueue::sPopped popped[8];
    int count = queue.popBatch(bytes, sizeof bytes, popped, 8);
    ASSERT_EQ(5, count);
    mMode->handleTunBatch(mHost, bytes, popped, count, kNow);

    for (const std::string& frame : {toA, toA, toA, lastToA})
        EXPECT_EQ(frame, sentTo(a));
    EXPECT_EQ("<none>", sentTo(a));
    EXPECT_EQ(toB, sentTo(b));
    auto records = mLog.records();
    EXPECT_EQ(4, std::count(records.begin(), records.end(), "DEBUG cTunnel TX 48 bytes over tunnel"));
    EXPECT_EQ(1, std::count(records.begin(), records.end(), "DEBUG cTunnel TX 52 bytes over tunnel"));
}

// The written delivery, for an operator who asks for it.
class TunFrameBroadcast : public TunFrames {
protected:
    void SetUp() override
    {
        TunFrames::SetUp();
        configure("quib.broker.delivery = broadcast");
        mLog.records();
    }
};

TEST_F(TunFrameBroadcast, EveryEstablishedTunnelGetsTheFrameOthersNothing)
{
    cTestSocket a, b, fresh;
    establish(a, "7");
    establish(b, "8");
    fromPeer("hello", fresh.addr());
    mLog.records();
    std::string frame = headerFrame(60, 0);

    fromTun(frame, 60);

    EXPECT_EQ(frame, sentTo(a));
    EXPECT_EQ(frame, sentTo(b));
    EXPECT_EQ("<none>", sentTo(fresh));
    auto records = mLog.records();
    EXPECT_TRUE(inOrder(records, {"DEBUG cBroker Got 60 bytes from the TUN Q protocol 34525 flags 0x0",
                                  "DEBUG cTunnel TX 60 bytes over tunnel", "DEBUG cTunnel TX 60 bytes over tunnel"}));
    EXPECT_EQ(2, std::count(records.begin(), records.end(), "DEBUG cTunnel TX 60 bytes over tunnel"));
}

TEST_F(TunFrameBroadcast, LogLineShowsFlagsInHexCountsInDecimalAndNoBytesBeyondTheFrame)
{
    struct sCase {
        std::string frame;
        int n;
        const char* record;
    };
    // Flags in hex, then the next count in decimal. The short frames' buffer
    // holds a whole IPv6 header (flags 0x101, byte-order neutral), but only n
    // bytes of it are the frame.
    const sCase cases[] = {
        {headerFrame(60, 0xab12), 60, "DEBUG cBroker Got 60 bytes from the TUN Q protocol 34525 flags 0xab12"},
        {headerFrame(1280, 0), 1280, "DEBUG cBroker Got 1280 bytes from the TUN Q protocol 34525 flags 0x0"},
        {headerFrame(4, 0x0101), 3, "DEBUG cBroker Got 3 bytes from the TUN Q protocol 0 flags 0x101"},
        {headerFrame(4, 0x0101), 1, "DEBUG cBroker Got 1 bytes from the TUN Q protocol 0 flags 0x0"},
    };
    for (const sCase& c : cases) {
        fromTun(c.frame, c.n);
        EXPECT_EQ(Records{c.record}, mLog.records()) << c.n << " bytes";
    }
}
