#include "clientTestSupport.h"

#include "tsp/cTSPMsg.h"
#include "packet/frame.h"

#include <unistd.h>

#include <cstring>

// The whole binary runs in a network namespace of its own.
testing::Environment* const gNet = testing::AddGlobalTestEnvironment(new cPrivateNetwork);

void cClientTest::SetUp()
{
    configure("");
    mBroker.useTunnelIdPath(tunIdPath());
    mHost.usePackets(mPackets);
    mLog.records();
}

void cClientTest::TearDown()
{
    // A test may have given the client a real TUN device.
    if (mBroker.tunFd() >= 0)
        close(mBroker.tunFd());
}

void cClientTest::configure(const std::string& text)
{
    ASSERT_TRUE(cConfig::load(mDir.write("quibd.conf", text + "\n").c_str()));
}

cClientMode& cClientTest::client()
{
    if (!mClient)
        mClient.reset(new cClientMode(mHost, mBrokerEndpoint, kStart));
    return *mClient;
}

int cClientTest::deliver(const sockaddr_in& sender, const std::string& bytes, long long now)
{
    char buffer[kFrameBufferSize];
    std::memcpy(buffer, bytes.data(), bytes.size());
    return client().onDatagram(buffer, static_cast<int>(bytes.size()), sender, now);
}

std::vector<std::string> cClientTest::sentToBroker()
{
    std::vector<std::string> sent;
    for (const cMemoryPacketHost::sDatagram& d : mPackets.takeDatagrams()) {
        EXPECT_EQ(0, std::memcmp(&d.to, &mBrokerEndpoint, sizeof d.to)) << endpointText(d.to);
        EXPECT_EQ(INADDR_ANY, d.local.s_addr);
        sent.push_back(d.bytes);
    }
    return sent;
}

void cClientTest::establish()
{
    std::string offer = exampleOffer();
    delete tunnel().handleMsg(&offer[0], static_cast<int>(offer.size()));
    ASSERT_TRUE(tunnel().isEstablished());
    mLog.records();
}
