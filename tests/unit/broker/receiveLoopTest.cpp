// The main thread's receive pass and the start of broker mode.
#include "brokerHarness.h"

#include "config/cConfig.h"
#include "tempFile.h"

#include <fcntl.h>
#include <netinet/ip.h>

class ReceivePass : public cBrokerHarness {
protected:
    void pass()
    {
        char buffer[cBroker::kFrameBufferSize];
        mBroker.receivePass(std::max(mBroker.mTunFd, mBroker.mUdpSocket) + 1, buffer);
    }
    // Waits (bounded) until the broker socket has something to report.
    bool brokerSocketReady()
    {
        pollfd p = {mBroker.mUdpSocket, POLLIN, 0};
        return poll(&p, 1, 2000) == 1;
    }
    void send(const cUdpPeer& from, const std::string& bytes)
    {
        sendto(from.fd(), bytes.data(), bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&mBrokerPeer.addr()), sizeof(sockaddr_in));
    }
    std::string popUdp(sockaddr_in& source)
    {
        char buf[cBroker::kFrameBufferSize];
        int n = mBroker.mUdpQueue.pop(buf, sizeof(buf), &source);
        return std::string(buf, static_cast<size_t>(n));
    }
};

TEST_F(ReceivePass, TunFrameAndDatagramQueuedInOnePassTunFirst)
{
    cUdpPeer client;
    ASSERT_EQ(6, write(mTun[1], "frame!", 6));
    send(client, "hello");
    ASSERT_TRUE(brokerSocketReady());

    pass();

    EXPECT_EQ(std::vector<std::string>({
                  "DEBUG cBroker Received 6 bytes on TUN",
                  "DEBUG cBroker Received 5 bytes on UDP from " + client.endpoint(),
              }),
              mLog.records());
    char buf[16];
    ASSERT_EQ(6, mBroker.mTunQueue.pop(buf, sizeof(buf)));
    EXPECT_EQ("frame!", std::string(buf, 6));
    sockaddr_in source = {};
    EXPECT_EQ("hello", popUdp(source));
    EXPECT_EQ(0, std::memcmp(&client.addr(), &source, sizeof(source)));
}

TEST_F(ReceivePass, EverythingReadyIsQueuedBeforeTheNextSelectInRoundsTunFirst)
{
    cUdpPeer client;
    ASSERT_EQ(2, write(mTun[1], "f1", 2));
    ASSERT_EQ(3, write(mTun[1], "f22", 3));
    for (const char* d : {"d1", "d22", "d333"})
        send(client, d);
    // Loopback delivery is done when sendto returns.
    ASSERT_TRUE(brokerSocketReady());

    pass();

    const std::string from = " bytes on UDP from " + client.endpoint();
    EXPECT_EQ(std::vector<std::string>({
                  "DEBUG cBroker Received 2 bytes on TUN",
                  "DEBUG cBroker Received 2" + from,
                  "DEBUG cBroker Received 3" + from,
                  "DEBUG cBroker Received 4" + from,
                  "DEBUG cBroker Received 3 bytes on TUN",
              }),
              mLog.records());
    sockaddr_in source = {};
    for (const char* d : {"d1", "d22", "d333"}) {
        EXPECT_EQ(d, popUdp(source));
        EXPECT_EQ(0, std::memcmp(&client.addr(), &source, sizeof(source)));
    }
    char buf[16];
    EXPECT_EQ(2, mBroker.mTunQueue.pop(buf, sizeof(buf)));
    EXPECT_EQ(3, mBroker.mTunQueue.pop(buf, sizeof(buf)));
    // Nothing is left for a pass to find, and the device stays blocking.
    pollfd ready[2] = {{mBroker.mTunFd, POLLIN, 0}, {mBroker.mUdpSocket, POLLIN, 0}};
    EXPECT_EQ(0, poll(ready, 2, 0));
    EXPECT_EQ(0, fcntl(mBroker.mTunFd, F_GETFL) & O_NONBLOCK);
}

TEST_F(ReceivePass, EmptyDatagramIsQueuedWithItsSender)
{
    cUdpPeer client;
    send(client, "");
    ASSERT_TRUE(brokerSocketReady());

    pass();

    EXPECT_EQ(std::vector<std::string>({"DEBUG cBroker Received 0 bytes on UDP from " + client.endpoint()}),
              mLog.records());
    sockaddr_in source = {};
    EXPECT_EQ("", popUdp(source));
    EXPECT_EQ(0, std::memcmp(&client.addr(), &source, sizeof(source)));
}

TEST_F(ReceivePass, FailedTunReadIsSkipped)
{
    // A directory is always readable for select, and read fails on it.
    int dir = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_LE(0, dir);
    mBroker.mTunFd = dir;
    pass();
    mBroker.mTunFd = mTun[0];
    close(dir);
    EXPECT_FALSE(anyStartsWith(mLog.records(), "DEBUG cBroker Received "));

    ASSERT_EQ(2, write(mTun[1], "ok", 2));
    pass();
    char buf[16];
    EXPECT_EQ(2, mBroker.mTunQueue.pop(buf, sizeof(buf)));
    EXPECT_EQ(0, mBroker.mTunQueue.pop(buf, sizeof(buf)));
}

TEST_F(ReceivePass, FailedReceiveIsSkipped)
{
    // With IP_RECVERR the port-unreachable answer to a send makes the next
    // recvfrom fail.
    int on = 1;
    ASSERT_EQ(0, setsockopt(mBroker.mUdpSocket, IPPROTO_IP, IP_RECVERR, &on, sizeof(on)));
    sockaddr_in closed;
    {
        cUdpPeer gone;
        closed = gone.addr();
    }
    sendto(mBroker.mUdpSocket, "x", 1, 0, reinterpret_cast<const sockaddr*>(&closed), sizeof(closed));
    ASSERT_TRUE(brokerSocketReady());

    pass();
    EXPECT_FALSE(anyStartsWith(mLog.records(), "DEBUG cBroker Received "));

    cUdpPeer client;
    send(client, "abc");
    ASSERT_TRUE(brokerSocketReady());
    pass();
    sockaddr_in source = {};
    EXPECT_EQ("abc", popUdp(source));
}

class BrokerStart : public cBrokerHarness {};

TEST_F(BrokerStart, NoPrefixStopsBeforeAnyDevice)
{
    mBroker.mTunFd = -1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, mBroker.runServer());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(std::vector<std::string>({"ERROR cBroker We need an IP6 Prefix at least in order to run this show in "
                                        "server mode. Bailing out!!!"}),
              mLog.records());
    EXPECT_EQ(-1, mBroker.mTunFd);
}

TEST_F(BrokerStart, FloodLimitsOutOfRangeStopBeforeAnyDevice)
{
    mBroker.mTunFd = -1;
    mBroker.mPrefixLen = 64;
    mBroker.mMaxTunnels = 0;
    EXPECT_EQ(-1, mBroker.runServer());
    EXPECT_EQ(std::vector<std::string>({"ERROR cBroker quib.broker.maxtunnels must be 1 or more, not 0. Bailing out"}),
              mLog.records());

    mBroker.mMaxTunnels = 1;
    mBroker.mSetupRate = -1;
    EXPECT_EQ(-1, mBroker.runServer());
    EXPECT_EQ(std::vector<std::string>({"ERROR cBroker quib.broker.setuprate must be 0 (no limit) or more, not -1. "
                                        "Bailing out"}),
              mLog.records());
    EXPECT_EQ(-1, mBroker.mTunFd);
}

TEST_F(BrokerStart, TunMtuOutsideItsRangeStopsBeforeAnyDevice)
{
    mBroker.mTunFd = -1;
    mBroker.mPrefixLen = 64;
    for (int mtu : {1279, 1501}) {
        mBroker.mTunMtu = mtu;
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, mBroker.runServer());
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ(std::vector<std::string>({"ERROR cBroker quib.tun.mtu must be between 1280 and 1500, not "
                                            + std::to_string(mtu) + ". Bailing out"}),
                  mLog.records());
        EXPECT_EQ(-1, mBroker.mTunFd);
    }
}

TEST_F(BrokerStart, FloodLimitsComeFromTheConfiguration)
{
    EXPECT_EQ(4096, mBroker.mMaxTunnels);
    EXPECT_EQ(20, mBroker.mSetupRate);

    cTempDir dir;
    ASSERT_TRUE(cConfig::load(
        dir.write("quibd.conf", "quib.broker.maxtunnels = 16\nquib.broker.setuprate = 0\n").c_str()));
    cBroker configured;
    ASSERT_TRUE(cConfig::load(dir.write("empty.conf", "").c_str()));
    EXPECT_EQ(16, configured.mMaxTunnels);
    EXPECT_EQ(0, configured.mSetupRate);
    // Rate 0: no offer is ever held back.
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(configured.mSetupLimiter.allow(htonl(INADDR_LOOPBACK), 0));
}

TEST_F(BrokerStart, UdpSocketBindsAnyAddressOnBrokerPort)
{
    uint16_t port;
    {
        cUdpPeer probe;
        port = ntohs(probe.addr().sin_port);
    }
    mBroker.mPort = port;
    ASSERT_TRUE(mBroker.openUdpSocket());
    sockaddr_in bound = {};
    socklen_t len = sizeof(bound);
    getsockname(mBroker.mUdpSocket, reinterpret_cast<sockaddr*>(&bound), &len);
    close(mBroker.mUdpSocket);
    EXPECT_EQ(port, ntohs(bound.sin_port));
    EXPECT_EQ(htonl(INADDR_ANY), bound.sin_addr.s_addr);
}

TEST_F(BrokerStart, PortInUseFailsBind)
{
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any = loopbackAddress(0);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof(any)));
    socklen_t len = sizeof(any);
    getsockname(holder, reinterpret_cast<sockaddr*>(&any), &len);
    mBroker.mPort = ntohs(any.sin_port);

    EXPECT_FALSE(mBroker.openUdpSocket());
    EXPECT_EQ(std::vector<std::string>({"ERROR cBroker Could not bind broker socket"}), mLog.records());
    EXPECT_LE(0, mBroker.mUdpSocket); // left open, as a failed start leaves things
    close(mBroker.mUdpSocket);
    close(holder);
}
