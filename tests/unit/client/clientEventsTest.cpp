// What the client does with each datagram, TUN frame and quiet interval.
#include "clientTestSupport.h"

#include <memory>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const std::string kNone = "<none>";

std::vector<std::string> brokerLines(cLogCapture& log)
{
    std::vector<std::string> out;
    for (const std::string& r : log.records())
        if (r.find(" cBroker ") != std::string::npos)
            out.push_back(r);
    return out;
}

std::string endpointText(const sockaddr_in& a)
{
    return std::string(inet_ntoa(a.sin_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

// A 64-byte frame: ICMPv6 (58) from 2001:db8::7 to 2001:db8::1.
std::string exampleFrame()
{
    std::string frame(64, '\x5a');
    const unsigned char head[] = {0x00, 0x00, 0x86, 0xdd, 0x60, 0, 0, 0, 0x00, 0x14, 58, 64};
    frame.replace(0, sizeof head, reinterpret_cast<const char*>(head), sizeof head);
    in6_addr src{}, dst{};
    inet_pton(AF_INET6, "2001:db8::7", &src);
    inet_pton(AF_INET6, "2001:db8::1", &dst);
    frame.replace(12, 16, reinterpret_cast<const char*>(&src), 16);
    frame.replace(28, 16, reinterpret_cast<const char*>(&dst), 16);
    return frame;
}

} // namespace

class ClientBeforeOffer : public cClientTest {};

TEST_F(ClientBeforeOffer, ForgedOfferFromAnotherPortOrAddressIsDroppedUnheard)
{
    sockaddr_in sameport;
    int forger2 = boundSocket("127.0.0.2", ntohs(mBrokerAddr.sin_port), sameport);
    EXPECT_EQ(cBroker::CLIENT_CONTINUE, deliver(mForgerFd, exampleOffer()));
    EXPECT_EQ(cBroker::CLIENT_CONTINUE, deliver(forger2, exampleOffer()));

    EXPECT_FALSE(mTunnel.isEstablished());
    EXPECT_EQ(kNone, takeDatagram(mForgerFd)); // no accept to anyone
    EXPECT_EQ(kNone, takeDatagram(forger2));
    EXPECT_NE(0, access(gTunIdPath.c_str(), F_OK));
    std::vector<std::string> expected = {
        "DEBUG cBroker Receive 87 bytes from UDP",
        "DEBUG cBroker Dropped datagram from " + endpointText(mForgerAddr) + ", not the broker",
        "DEBUG cBroker Receive 87 bytes from UDP",
        "DEBUG cBroker Dropped datagram from " + endpointText(sameport) + ", not the broker",
    };
    EXPECT_EQ(expected, mLog.records()); // not even parsed
    close(forger2);
}

TEST_F(ClientBeforeOffer, BrokerOfferIsAcceptedAndKeptThenAnAddressFailureEndsTheRun)
{
    // No TUN device was opened here, so giving it the address must fail.
    CaptureStderr();
    EXPECT_EQ(-1, deliver(mBrokerFd, exampleOffer()));
    std::string err = GetCapturedStderr();

    EXPECT_TRUE(mTunnel.isEstablished());
    EXPECT_EQ(std::string("accept\0", 7), takeDatagram(mBrokerFd));
    EXPECT_EQ(kNone, takeDatagram(mBrokerFd)); // sent once
    EXPECT_EQ("7", cTempDir::read(gTunIdPath));
    std::vector<std::string> expected = {
        "DEBUG cBroker Receive 87 bytes from UDP",
        "INFO cBroker Setting '' address to '2001:db8::7/64'",
    };
    EXPECT_EQ(expected, brokerLines(mLog)); // nothing of its own on failure
    EXPECT_NE(std::string::npos, err.find("get if index")) << err;
}

TEST_F(ClientBeforeOffer, RetriesResendTheRequestWhileOtherInputIsSkipped)
{
    mTunnel.setId(7);
    mTunnel.setKeepalive(30);
    std::unique_ptr<cTSPMsg> request(mTunnel.makeRequest());
    mLog.records();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cBroker::CLIENT_CONTINUE,
                  mBroker.handleClientTimeout(mTunnel, *request, mBrokerAddr));
        EXPECT_EQ(std::string("request\0tunnelid=7\0keepalive=30\0", 32),
                  takeDatagram(mBrokerFd));
    }
    mBroker.handleClientFrame(mTunnel, &exampleFrame()[0], 64, mBrokerAddr);
    mBroker.handleClientFrame(mTunnel, nullptr, -1, mBrokerAddr);
    char unused[1];
    EXPECT_EQ(cBroker::CLIENT_CONTINUE,
              mBroker.handleClientDatagram(mTunnel, unused, -1, mBrokerAddr, mBrokerAddr));
    EXPECT_EQ(cBroker::CLIENT_CONTINUE, deliver(mBrokerFd, std::string("hello\0", 6)));

    EXPECT_FALSE(mTunnel.isEstablished());
    EXPECT_EQ(kNone, takeDatagram(mBrokerFd)); // frame dropped, no reply to an unknown type
    std::vector<std::string> expected = {
        "INFO cBroker Retry Setup request",          "INFO cBroker Retry Setup request",
        "DEBUG cBroker Receive 64 bytes from TUN",   "DEBUG cBroker Receive -1 bytes from TUN",
        "DEBUG cBroker Receive -1 bytes from UDP",   "DEBUG cBroker Receive 6 bytes from UDP",
    };
    EXPECT_EQ(expected, brokerLines(mLog));
}

class ClientEstablished : public cClientTest {
protected:
    void SetUp() override
    {
        cClientTest::SetUp();
        establish();
    }
};

TEST_F(ClientEstablished, BrokerDataReachesTheTunDeviceWholeAndForgedDataNever)
{
    EXPECT_EQ(cBroker::CLIENT_CONTINUE, deliver(mBrokerFd, exampleFrame()));
    EXPECT_EQ(exampleFrame(), takeDatagram(mTunPeer));
    EXPECT_EQ(cBroker::CLIENT_CONTINUE, deliver(mForgerFd, exampleFrame()));
    EXPECT_EQ(kNone, takeDatagram(mTunPeer));
    std::vector<std::string> expected = {
        "DEBUG cBroker Receive 64 bytes from UDP",
        "DEBUG cBroker IP 6 Packet 2001:db8::7 ---> 2001:db8::1 containing 58",
        "DEBUG cBroker Receive 64 bytes from UDP",
        "DEBUG cBroker Dropped datagram from " + endpointText(mForgerAddr) + ", not the broker",
    };
    EXPECT_EQ(expected, mLog.records());
}

TEST_F(ClientEstablished, ShortFramesAreLoggedWithoutOverReadAndRelayedWhole)
{
    const std::string full = exampleFrame();
    const std::pair<int, const char*> cases[] = {
        {5, "? ---> ? containing ?"},
        {11, "? ---> ? containing 58"},
        {27, "? ---> ? containing 58"},
        {28, "2001:db8::7 ---> ? containing 58"},
        {43, "2001:db8::7 ---> ? containing 58"},
        {44, "2001:db8::7 ---> 2001:db8::1 containing 58"},
    };
    for (const auto& c : cases) {
        // The frame ends where its heap block ends: any over-read trips the
        // address sanitizer.
        std::unique_ptr<char[]> frame(new char[c.first]);
        std::memcpy(frame.get(), full.data(), c.first);
        EXPECT_EQ(cBroker::CLIENT_CONTINUE,
                  mBroker.handleClientDatagram(mTunnel, frame.get(), c.first, mBrokerAddr,
                                               mBrokerAddr));
        EXPECT_EQ(full.substr(0, c.first), takeDatagram(mTunPeer));
        std::vector<std::string> expected = {
            "DEBUG cBroker Receive " + std::to_string(c.first) + " bytes from UDP",
            std::string("DEBUG cBroker IP 6 Packet ") + c.second,
        };
        EXPECT_EQ(expected, mLog.records());
    }
}

TEST_F(ClientEstablished, TunFramesGoToTheBrokerAndQuietIntervalsSendKeepalives)
{
    std::unique_ptr<cTSPMsg> request(mTunnel.makeRequest());
    mLog.records();
    mBroker.handleClientFrame(mTunnel, &exampleFrame()[0], 64, mBrokerAddr);
    EXPECT_EQ(exampleFrame(), takeDatagram(mBrokerFd));
    EXPECT_EQ(cBroker::CLIENT_CONTINUE,
              mBroker.handleClientTimeout(mTunnel, *request, mBrokerAddr));
    EXPECT_EQ(std::string("\x00\x00\x86\xdd", 4), takeDatagram(mBrokerFd));
    std::vector<std::string> expected = {"DEBUG cBroker Receive 64 bytes from TUN",
                                         "DEBUG cBroker Sending Keepalive"};
    EXPECT_EQ(expected, mLog.records());
}

TEST_F(ClientEstablished, SilentBrokerEndsTheRunAndOnlyItsRepliesCountAsActivity)
{
    std::unique_ptr<cTSPMsg> request(mTunnel.makeRequest());
    mTunnel.setKeepalive(1);
    for (int i = 0; i < 40 && !mTunnel.isExpired(); ++i)
        usleep(100 * 1000);
    ASSERT_TRUE(mTunnel.isExpired());
    mLog.records();
    EXPECT_EQ(0, mBroker.handleClientTimeout(mTunnel, *request, mBrokerAddr));
    EXPECT_EQ(kNone, takeDatagram(mBrokerFd));
    EXPECT_EQ(std::vector<std::string>{"ERROR cBroker Seems nobody is home. Bailing out"},
              mLog.records());

    char unused[1];
    mBroker.handleClientDatagram(mTunnel, unused, -1, mBrokerAddr, mBrokerAddr);
    deliver(mForgerFd, std::string("\x00\x00\x86\xdd", 4));
    EXPECT_TRUE(mTunnel.isExpired());
    for (const std::string& reply : {std::string("\x00\x00\x86\xdd", 4), std::string()}) {
        EXPECT_EQ(cBroker::CLIENT_CONTINUE, deliver(mBrokerFd, reply));
        EXPECT_FALSE(mTunnel.isExpired());
        EXPECT_EQ(kNone, takeDatagram(mTunPeer));
    }
    std::vector<std::string> expected = {
        "DEBUG cBroker Receive -1 bytes from UDP",
        "DEBUG cBroker Receive 4 bytes from UDP",
        "DEBUG cBroker Dropped datagram from " + endpointText(mForgerAddr) + ", not the broker",
        "DEBUG cBroker Receive 4 bytes from UDP",
        "DEBUG cBroker Receive Keepalive reply",
        "DEBUG cBroker Receive 0 bytes from UDP",
        "DEBUG cBroker Receive Keepalive reply",
    };
    EXPECT_EQ(expected, mLog.records());
}
