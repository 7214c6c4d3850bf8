// What the client does with each datagram, TUN frame and quiet interval.
#include "clientTestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const std::string kKeepalive = keepaliveBytes();
// A setup again, after an offer without a key.
const std::string kRequest = exampleSetup("request", "");

// A 64-byte frame: ICMPv6 (58) from 2001:db8::7 to 2001:db8::1.
std::string exampleFrame()
{
    std::string frame(64, '\x5a');
    const unsigned char head[] = {0x00, 0x00, 0x86, 0xdd, 0x60, 0, 0, 0, 0x00, 0x14, 58, 64};
    frame.replace(0, sizeof head, reinterpret_cast<const char*>(head), sizeof head);
    in6_addr src = ip6("2001:db8::7"), dst = ip6("2001:db8::1");
    frame.replace(12, 16, reinterpret_cast<const char*>(&src), 16);
    frame.replace(28, 16, reinterpret_cast<const char*>(&dst), 16);
    return frame;
}

} // namespace

class ClientBeforeOffer : public cClientTest {};

TEST_F(ClientBeforeOffer, ForgedOfferFromAnotherPortOrAddressIsDroppedUnheard)
{
    const sockaddr_in samePort = endpoint("127.0.0.2", ntohs(mBrokerEndpoint.sin_port));
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mForger, exampleOffer()));
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(samePort, exampleOffer()));

    EXPECT_FALSE(tunnel().isEstablished());
    EXPECT_TRUE(mPackets.takeDatagrams().empty()); // no accept to anyone
    EXPECT_NE(0, access(tunIdPath().c_str(), F_OK));
    std::vector<std::string> expected = {
        "DEBUG cBroker Receive 87 bytes from UDP",
        "DEBUG cBroker Dropped datagram from " + endpointText(mForger) + ", not the broker",
        "DEBUG cBroker Receive 87 bytes from UDP",
        "DEBUG cBroker Dropped datagram from 127.0.0.2:3653, not the broker",
    };
    EXPECT_EQ(expected, mLog.records()); // not even parsed
}

TEST_F(ClientBeforeOffer, BrokerOfferIsAcceptedAndKeptThenAnAddressFailureEndsTheRun)
{
    // No TUN device was opened here, so giving it the address must fail.
    CaptureStderr();
    EXPECT_EQ(-1, deliver(mBrokerEndpoint, exampleOffer()));
    std::string err = GetCapturedStderr();

    EXPECT_TRUE(tunnel().isEstablished());
    // An offer without a key (a broker that knows none) leaves the key empty.
    EXPECT_EQ(std::vector<std::string>{exampleSetup("accept", "")}, sentToBroker()); // sent once
    EXPECT_EQ("7", cTempDir::read(tunIdPath()));
    std::vector<std::string> expected = {
        "DEBUG cBroker Receive 87 bytes from UDP",
        "INFO cBroker Setting '' address to '2001:db8::7/64'",
    };
    EXPECT_EQ(expected, mLog.records("cBroker")); // nothing of its own on failure
    EXPECT_NE(std::string::npos, err.find("get if index")) << err;
}

TEST_F(ClientBeforeOffer, RetriesResendTheRequestWhileOtherInputIsSkipped)
{
    // The request presents the stored identifier and key and the configured
    // keepalive.
    mDir.write("tunid", "7");
    mDir.write("tunkey", kExampleKey);
    client().start(sClientDevice(), kStart);
    const std::vector<std::string> request = {exampleSetup("request")};
    EXPECT_EQ(request, sentToBroker());
    mLog.records();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cClientMode::CLIENT_CONTINUE, client().onQuiet(kStart));
        EXPECT_EQ(request, sentToBroker());
    }
    client().onFrame(exampleFrame().data(), 64);
    client().onFrame(nullptr, -1);
    char unused[1];
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE,
              client().onDatagram(unused, -1, mBrokerEndpoint, kStart));
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, std::string("hello\0", 6)));

    EXPECT_FALSE(tunnel().isEstablished());
    EXPECT_TRUE(sentToBroker().empty()); // frame dropped, no reply to an unknown type
    std::vector<std::string> expected = {
        "INFO cBroker Retry Setup request",          "INFO cBroker Retry Setup request",
        "DEBUG cBroker Receive 64 bytes from TUN",   "DEBUG cBroker Receive -1 bytes from TUN",
        "DEBUG cBroker Receive -1 bytes from UDP",   "DEBUG cBroker Receive 6 bytes from UDP",
    };
    EXPECT_EQ(expected, mLog.records("cBroker"));
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
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, exampleFrame()));
    EXPECT_EQ(std::vector<std::string>{exampleFrame()}, mPackets.takeFrames());
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mForger, exampleFrame()));
    EXPECT_TRUE(mPackets.takeFrames().empty());
    std::vector<std::string> expected = {
        "DEBUG cBroker Receive 64 bytes from UDP",
        "DEBUG cBroker IP 6 Packet 2001:db8::7 ---> 2001:db8::1 containing 58",
        "DEBUG cBroker Receive 64 bytes from UDP",
        "DEBUG cBroker Dropped datagram from " + endpointText(mForger) + ", not the broker",
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
        EXPECT_EQ(cClientMode::CLIENT_CONTINUE,
                  client().onDatagram(frame.get(), c.first, mBrokerEndpoint, kStart));
        EXPECT_EQ(std::vector<std::string>{full.substr(0, c.first)}, mPackets.takeFrames());
        std::vector<std::string> expected = {
            "DEBUG cBroker Receive " + std::to_string(c.first) + " bytes from UDP",
            std::string("DEBUG cBroker IP 6 Packet ") + c.second,
        };
        EXPECT_EQ(expected, mLog.records());
    }
}

TEST_F(ClientEstablished, TunFramesGoToTheBrokerAndQuietIntervalsSendKeepalives)
{
    // Frames read in one wake-up leave together at its end, each still one
    // datagram; a keepalive leaves after the frames gathered before it.
    client().onFrame(exampleFrame().data(), 64);
    client().onFrame(exampleFrame().data(), 64);
    client().sendGatheredFrames();
    EXPECT_EQ((std::vector<std::string>{exampleFrame(), exampleFrame()}), sentToBroker());
    client().onFrame(exampleFrame().data(), 64);
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, client().onQuiet(kStart));
    EXPECT_EQ((std::vector<std::string>{exampleFrame(), kKeepalive}), sentToBroker());
    std::vector<std::string> expected = {"DEBUG cBroker Receive 64 bytes from TUN",
                                         "DEBUG cBroker Receive 64 bytes from TUN",
                                         "DEBUG cBroker Receive 64 bytes from TUN",
                                         "DEBUG cBroker Sending Keepalive"};
    EXPECT_EQ(expected, mLog.records());
    // Unanswered by the next quiet interval: the request again.
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, client().onQuiet(kStart));
    EXPECT_EQ((std::vector<std::string>{kRequest, kKeepalive}), sentToBroker());
}

TEST_F(ClientEstablished, ASendingClientMeasuresTheSilenceOnEveryPass)
{
    deliver(mBrokerEndpoint, kKeepalive, kStart);
    // Each pass carries a frame out, setting up again or not; the broker
    // says nothing until +25.
    const std::pair<int, std::vector<std::string>> passes[] = {
        {9, {}}, {10, {kKeepalive}}, {19, {}}, {20, {kRequest, kKeepalive}}, {25, {}}, {34, {}}, {35, {kKeepalive}},
    };
    for (const auto& pass : passes) {
        if (pass.first == 34)
            deliver(mBrokerEndpoint, kKeepalive, at(25));
        client().onFrame(exampleFrame().data(), 64);
        EXPECT_EQ(cClientMode::CLIENT_CONTINUE, client().onPass(at(pass.first)));
        client().sendGatheredFrames();
        std::vector<std::string> sent = pass.second;
        sent.insert(sent.begin(), exampleFrame());
        EXPECT_EQ(sent, sentToBroker()) << "at +" << pass.first;
    }
    // Thirty seconds after the broker's last word, busy or not, the run ends.
    EXPECT_EQ(0, client().onPass(at(56)));
    std::vector<std::string> lines = mLog.records("cBroker");
    for (const char* line : {"INFO cBroker No word from the broker since the keepalive, setting up again",
                             "INFO cBroker The broker still holds the tunnel, it goes on as it was"})
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), line)) << line;
    EXPECT_EQ("ERROR cBroker Seems nobody is home. Bailing out", lines.back());
}

TEST_F(ClientEstablished, SilentBrokerEndsTheRunAndOnlyItsRepliesCountAsActivity)
{
    // One second past the keepalive without a word from the broker.
    const long long wait = (tunnel().getKeepalive() + 1) * kNanosPerSecond;
    const long long late = kStart + wait;
    ASSERT_TRUE(tunnel().isExpired(late));
    EXPECT_EQ(0, client().onQuiet(late));
    EXPECT_TRUE(sentToBroker().empty());
    EXPECT_EQ(std::vector<std::string>{"ERROR cBroker Seems nobody is home. Bailing out"},
              mLog.records());

    char unused[1];
    client().onDatagram(unused, -1, mBrokerEndpoint, late);
    deliver(mForger, kKeepalive, late);
    EXPECT_TRUE(tunnel().isExpired(late));
    // Each reply comes a whole keepalive after the one before it.
    long long at = late;
    for (const std::string& reply : {kKeepalive, std::string()}) {
        EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, reply, at));
        EXPECT_FALSE(tunnel().isExpired(at));
        EXPECT_TRUE(mPackets.takeFrames().empty());
        at += wait;
    }
    std::vector<std::string> expected = {
        "DEBUG cBroker Receive -1 bytes from UDP",
        "DEBUG cBroker Receive 4 bytes from UDP",
        "DEBUG cBroker Dropped datagram from " + endpointText(mForger) + ", not the broker",
        "DEBUG cBroker Receive 4 bytes from UDP",
        "DEBUG cBroker Receive Keepalive reply",
        "DEBUG cBroker Receive 0 bytes from UDP",
        "DEBUG cBroker Receive Keepalive reply",
    };
    EXPECT_EQ(expected, mLog.records());
}
