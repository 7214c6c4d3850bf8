// The main thread's receive pass and the start of broker mode.
#include "brokerHarness.h"

#include <fcntl.h>
#include <poll.h>

#include <cstring>

class ReceivePass : public cBrokerHarness {
protected:
    void pass()
    {
        char buffer[kFrameBufferSize];
        mBroker->receivePass(std::max(mBroker->tunFd(), mBroker->udpSocket()) + 1, buffer);
    }
    // Waits (bounded) until the broker socket has something to report.
    bool brokerSocketReady()
    {
        pollfd p = {mBroker->udpSocket(), POLLIN, 0};
        return poll(&p, 1, 2000) == 1;
    }
    // The oldest datagram of the UDP queue is bytes, sent by mClient.
    void expectQueuedFromClient(const std::string& bytes)
    {
        char buf[kFrameBufferSize];
        sockaddr_in source = {};
        int n = mBroker->udpQueue().pop(buf, sizeof(buf), &source);
        EXPECT_EQ(bytes, std::string(buf, static_cast<size_t>(n)));
        EXPECT_EQ(0, std::memcmp(&mClient.addr(), &source, sizeof(source)));
    }
    cTestSocket mClient;
};

TEST_F(ReceivePass, TunFrameAndDatagramQueuedInOnePassTunFirst)
{
    ASSERT_EQ(6, write(mTun[1], "frame!", 6));
    mClient.sendTo("hello", mBrokerSocket.addr());
    ASSERT_TRUE(brokerSocketReady());

    pass();

    EXPECT_EQ(Records({
                  "DEBUG cBroker Received 6 bytes on TUN",
                  "DEBUG cBroker Received 5 bytes on UDP from " + mClient.endpoint(),
              }),
              mLog.records());
    char buf[16];
    ASSERT_EQ(6, mBroker->tunQueue().pop(buf, sizeof(buf)));
    EXPECT_EQ("frame!", std::string(buf, 6));
    expectQueuedFromClient("hello");
}

TEST_F(ReceivePass, EverythingReadyIsQueuedBeforeTheNextSelectInRoundsTunFirst)
{
    ASSERT_EQ(2, write(mTun[1], "f1", 2));
    ASSERT_EQ(3, write(mTun[1], "f22", 3));
    for (const char* d : {"d1", "d22", "d333"})
        mClient.sendTo(d, mBrokerSocket.addr());
    // Loopback delivery is done when sendto returns.
    ASSERT_TRUE(brokerSocketReady());

    pass();

    const std::string from = " bytes on UDP from " + mClient.endpoint();
    EXPECT_EQ(Records({
                  "DEBUG cBroker Received 2 bytes on TUN",
                  "DEBUG cBroker Received 2" + from,
                  "DEBUG cBroker Received 3" + from,
                  "DEBUG cBroker Received 4" + from,
                  "DEBUG cBroker Received 3 bytes on TUN",
              }),
              mLog.records());
    for (const char* d : {"d1", "d22", "d333"})
        expectQueuedFromClient(d);
    char buf[16];
    EXPECT_EQ(2, mBroker->tunQueue().pop(buf, sizeof(buf)));
    EXPECT_EQ(3, mBroker->tunQueue().pop(buf, sizeof(buf)));
    // Nothing is left for a pass to find, and the device stays blocking.
    pollfd ready[2] = {{mBroker->tunFd(), POLLIN, 0}, {mBroker->udpSocket(), POLLIN, 0}};
    EXPECT_EQ(0, poll(ready, 2, 0));
    EXPECT_EQ(0, fcntl(mBroker->tunFd(), F_GETFL) & O_NONBLOCK);
}

TEST_F(ReceivePass, EmptyDatagramIsQueuedWithItsSender)
{
    mClient.sendTo("", mBrokerSocket.addr());
    ASSERT_TRUE(brokerSocketReady());

    pass();

    EXPECT_EQ(Records({"DEBUG cBroker Received 0 bytes on UDP from " + mClient.endpoint()}), mLog.records());
    expectQueuedFromClient("");
}

TEST_F(ReceivePass, FailedTunReadIsSkipped)
{
    // A directory is always readable for select, and read fails on it.
    int dir = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_LE(0, dir);
    mBroker->useDescriptors(dir, mBrokerSocket.fd());
    pass();
    mBroker->useDescriptors(mTun[0], mBrokerSocket.fd());
    close(dir);
    EXPECT_FALSE(anyStartsWith(mLog.records(), "DEBUG cBroker Received "));

    ASSERT_EQ(2, write(mTun[1], "ok", 2));
    pass();
    char buf[16];
    EXPECT_EQ(2, mBroker->tunQueue().pop(buf, sizeof(buf)));
    EXPECT_EQ(0, mBroker->tunQueue().pop(buf, sizeof(buf)));
}

TEST_F(ReceivePass, FailedReceiveIsSkipped)
{
    // With IP_RECVERR the port-unreachable answer to a send makes the next
    // recvfrom fail.
    int on = 1;
    ASSERT_EQ(0, setsockopt(mBrokerSocket.fd(), IPPROTO_IP, IP_RECVERR, &on, sizeof(on)));
    mBrokerSocket.sendTo("x", closedEndpoint());
    ASSERT_TRUE(brokerSocketReady());

    pass();
    EXPECT_FALSE(anyStartsWith(mLog.records(), "DEBUG cBroker Received "));

    mClient.sendTo("abc", mBrokerSocket.addr());
    ASSERT_TRUE(brokerSocketReady());
    pass();
    expectQueuedFromClient("abc");
}

// runServer stops before it opens anything when a setting is unusable.
class BrokerStart : public cBrokerHarness {
protected:
    void expectStopsBeforeAnyDevice(const std::string& lines, const std::string& error)
    {
        std::unique_ptr<cBroker> broker = brokerFrom(lines);
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, broker->runServer()) << lines;
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ(Records({"ERROR cBroker " + error}), mLog.records()) << lines;
        EXPECT_EQ(-1, broker->tunFd());
    }
};

TEST_F(BrokerStart, NoPrefixStopsBeforeAnyDevice)
{
    expectStopsBeforeAnyDevice("", "We need an IP6 Prefix at least in order to run this show in "
                                   "server mode. Bailing out!!!");
}

TEST_F(BrokerStart, FloodLimitsOutOfRangeStopBeforeAnyDevice)
{
    expectStopsBeforeAnyDevice("quib.broker.ip6prefix = 2001:db8::\nquib.broker.maxtunnels = 0\n",
                               "quib.broker.maxtunnels must be 1 or more, not 0. Bailing out");
    expectStopsBeforeAnyDevice("quib.broker.ip6prefix = 2001:db8::\nquib.broker.maxtunnels = 1\n"
                               "quib.broker.setuprate = -1\n",
                               "quib.broker.setuprate must be 0 (no limit) or more, not -1. Bailing out");
    expectStopsBeforeAnyDevice("quib.broker.ip6prefix = 2001:db8::\nquib.broker.delivery = Unicast\n",
                               "quib.broker.delivery must be unicast or broadcast, not 'Unicast'. Bailing out");
}

TEST_F(BrokerStart, TunMtuOutsideItsRangeStopsBeforeAnyDevice)
{
    for (std::string mtu : {"1279", "1501"})
        expectStopsBeforeAnyDevice("quib.broker.ip6prefix = 2001:db8::\nquib.tun.mtu = " + mtu + "\n",
                                   "quib.tun.mtu must be between 1280 and 1500, not " + mtu + ". Bailing out");
}

TEST_F(BrokerStart, FloodLimitsComeFromTheConfiguration)
{
    EXPECT_EQ(4096, mBroker->maxTunnels());
    EXPECT_EQ(20, mBroker->setupRate());

    configure("quib.broker.maxtunnels = 16\nquib.broker.setuprate = 0\n");
    EXPECT_EQ(16, mBroker->maxTunnels());
    EXPECT_EQ(0, mBroker->setupRate());
    // Rate 0: no offer is ever held back.
    cTestSocket client;
    for (int i = 0; i < 50; ++i)
        fromPeer(tspBytes({"request", "tunnelid=0"}), client.addr());
    EXPECT_EQ(50u, mHost.datagrams.size());
    EXPECT_EQ(0u, mMode->heldOffers());
}

TEST_F(BrokerStart, UdpSocketBindsAnyAddressOnBrokerPort)
{
    uint16_t port = ntohs(closedEndpoint().sin_port);
    std::unique_ptr<cBroker> broker = brokerFrom("quib.broker.port = " + std::to_string(port) + "\n");
    ASSERT_TRUE(broker->openUdpSocket());
    sockaddr_in bound = {};
    socklen_t len = sizeof(bound);
    getsockname(broker->udpSocket(), reinterpret_cast<sockaddr*>(&bound), &len);
    close(broker->udpSocket());
    EXPECT_EQ(port, ntohs(bound.sin_port));
    EXPECT_EQ(htonl(INADDR_ANY), bound.sin_addr.s_addr);
}

TEST_F(BrokerStart, PortInUseFailsBind)
{
    cTestSocket holder("0.0.0.0");
    std::unique_ptr<cBroker> broker =
        brokerFrom("quib.broker.port = " + std::to_string(ntohs(holder.addr().sin_port)) + "\n");

    EXPECT_FALSE(broker->openUdpSocket());
    EXPECT_EQ(Records({"ERROR cBroker Could not bind broker socket"}), mLog.records());
    EXPECT_LE(0, broker->udpSocket()); // left open, as a failed start leaves things
    close(broker->udpSocket());
}
