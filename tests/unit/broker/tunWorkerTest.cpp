// The TUN worker's pass: its log line and the broadcast to established tunnels.
#include "brokerHarness.h"

#include <cstring>

namespace {

std::string ip6Frame(size_t len, uint16_t flags)
{
    std::string frame(len, 'x');
    std::memcpy(&frame[0], &flags, sizeof(flags)); // host order, as the kernel writes it
    frame[2] = '\x86';
    frame[3] = '\xdd';
    return frame;
}

} // namespace

class TunFrameBroadcast : public cBrokerHarness {
protected:
    void fromTun(std::string frame, int n)
    {
        frame.resize(kFrameBufferSize, '\xff');
        mMode->handleTunFrame(&frame[0], n);
    }
};

TEST_F(TunFrameBroadcast, EveryEstablishedTunnelGetsTheFrameOthersNothing)
{
    cTestSocket a, b, fresh;
    establish(a, "7");
    establish(b, "8");
    fromPeer("hello", fresh.addr());
    mLog.records();
    std::string frame = ip6Frame(60, 0);

    fromTun(frame, 60);

    EXPECT_EQ(frame, a.receive());
    EXPECT_EQ(frame, b.receive());
    EXPECT_EQ("<none>", fresh.receive());
    auto records = mLog.records();
    EXPECT_TRUE(inOrder(records, {"DEBUG cBroker Got 60 bytes from the TUN Q protocol 34525 flags 0x0",
                                  "DEBUG cTunnel TX 60 bytes over tunnel", "DEBUG cTunnel TX 60 bytes over tunnel"}));
    EXPECT_EQ(2, std::count(records.begin(), records.end(), "DEBUG cTunnel TX 60 bytes over tunnel"));
}

TEST_F(TunFrameBroadcast, FlagsInHexThenNextCountInDecimal)
{
    fromTun(ip6Frame(60, 0xab12), 60);
    fromTun(ip6Frame(1280, 0), 1280);

    EXPECT_EQ(Records({
                  "DEBUG cBroker Got 60 bytes from the TUN Q protocol 34525 flags 0xab12",
                  "DEBUG cBroker Got 1280 bytes from the TUN Q protocol 34525 flags 0x0",
              }),
              mLog.records());
}

TEST_F(TunFrameBroadcast, ShortFrameShowsNoBytesBeyondIt)
{
    // The buffer holds a whole IPv6 header (flags 0x101, byte-order neutral),
    // but only n bytes of it are the frame.
    fromTun(ip6Frame(4, 0x0101), 3);
    fromTun(ip6Frame(4, 0x0101), 1);

    EXPECT_EQ(Records({
                  "DEBUG cBroker Got 3 bytes from the TUN Q protocol 0 flags 0x101",
                  "DEBUG cBroker Got 1 bytes from the TUN Q protocol 0 flags 0x0",
              }),
              mLog.records());
}
