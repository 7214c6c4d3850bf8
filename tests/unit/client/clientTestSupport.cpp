#include "clientTestSupport.h"

#include "tsp/cTSPMsg.h"
#include "packet/frame.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

// The whole binary runs in a network namespace of its own.
testing::Environment* const gNet = testing::AddGlobalTestEnvironment(new cPrivateNetwork);

void cClientTest::SetUp()
{
    configure("");
    mBroker.useTunnelIdPath(tunIdPath());
    int pair[2] = {-1, -1};
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM, 0, pair));
    mTunFd = pair[0];
    mTunPeer = pair[1];
    mBroker.useDescriptors(mTunFd, mOwn.fd());
    mLog.records();
}

void cClientTest::TearDown()
{
    // A test may have given the client a real TUN device instead.
    if (mBroker.tunFd() >= 0 && mBroker.tunFd() != mTunFd)
        close(mBroker.tunFd());
    for (int fd : {mTunFd, mTunPeer})
        if (fd >= 0)
            close(fd);
}

void cClientTest::configure(const std::string& text)
{
    ASSERT_TRUE(cConfig::load(mDir.write("quibd.conf", text + "\n").c_str()));
}

cClientMode& cClientTest::client()
{
    if (!mClient) {
        mPackets.reset(new cSocketPacketHost(mOwn.fd(), mBroker.tunFd(), false));
        mHost.usePackets(*mPackets);
        mClient.reset(new cClientMode(mHost, mBrokerSocket.addr(), kStart));
    }
    return *mClient;
}

int cClientTest::deliver(const cTestSocket& sender, const std::string& bytes, long long now)
{
    sender.sendTo(bytes, mOwn.addr());
    char buffer[kFrameBufferSize];
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t len = sizeof from;
    int n = static_cast<int>(recvfrom(mOwn.fd(), buffer, sizeof buffer, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &len));
    return client().onDatagram(buffer, n, from, now);
}

void cClientTest::establish()
{
    std::string offer = exampleOffer();
    delete tunnel().handleMsg(&offer[0], static_cast<int>(offer.size()));
    ASSERT_TRUE(tunnel().isEstablished());
    mLog.records();
}
