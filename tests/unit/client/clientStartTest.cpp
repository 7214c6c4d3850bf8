// The client's start steps and what an accepted offer does to the kernel.
#include "clientTestSupport.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>

#include <fstream>
#include <memory>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// Leaves exactly `spare` descriptors free while alive.
class cFewDescriptors {
public:
    explicit cFewDescriptors(int spare)
    {
        getrlimit(RLIMIT_NOFILE, &mSaved);
        int lowest = open("/dev/null", O_RDONLY);
        close(lowest);
        rlimit limit = mSaved;
        limit.rlim_cur = lowest + spare;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    ~cFewDescriptors() { setrlimit(RLIMIT_NOFILE, &mSaved); }

private:
    rlimit mSaved;
};

// Lines of a /proc/net table that end with the interface name and hold text.
bool procLineWith(const char* table, const std::string& name, const std::string& text)
{
    std::ifstream in(table);
    std::string line;
    for (int i = 0; i < 10000 && std::getline(in, line); ++i)
        if (line.size() > name.size()
            && line.compare(line.size() - name.size(), name.size(), name) == 0
            && line.find(text) != std::string::npos)
            return true;
    return false;
}

// The sanitizer runtimes open descriptors of their own while they check a
// call (UBSan probes memory through a pipe), so a test that leaves the
// process without spare descriptors cannot run under them.
bool sanitizerNeedsDescriptors()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

} // namespace

class ClientStart : public testing::Test {
protected:
    // The client as configured by text, run up to its first failure.
    int run(const std::string& text, int spareDescriptors = 100)
    {
        EXPECT_TRUE(cConfig::load(mDir.write("quibd.conf", text + "\n").c_str()));
        mBroker.reset(new cBroker);
        mLog.records();
        cFewDescriptors limit(spareDescriptors);
        return mBroker->runClient();
    }
    void TearDown() override
    {
        if (mBroker && mBroker->mUdpSocket >= 0)
            close(mBroker->mUdpSocket);
    }

    cLogCapture mLog;
    cTempDir mDir;
    std::unique_ptr<cBroker> mBroker;
};

TEST_F(ClientStart, WithoutBrokerAddressItSaysSoOnStandardOutput)
{
    CaptureStdout();
    EXPECT_EQ(-1, run("quib.broker.port = 4000"));
    EXPECT_EQ("Cannot run the client without knowing where to connect to. Bailing Out !\n",
              GetCapturedStdout());
    EXPECT_TRUE(mLog.records().empty());
}

TEST_F(ClientStart, TunMtuOutsideItsRangeStopsBeforeTheSocket)
{
    EXPECT_EQ(-1, run("quib.broker.address = 192.0.2.1\nquib.tun.mtu = 1501"));
    EXPECT_EQ(
        std::vector<std::string>{"ERROR cBroker quib.tun.mtu must be between 1280 and 1500, not 1501. Bailing out"},
        mLog.records());
    EXPECT_EQ(-1, mBroker->mUdpSocket);
    EXPECT_EQ(-1, mBroker->mTunFd);
}

TEST_F(ClientStart, WithoutADescriptorForTheSocketItFails)
{
    if (sanitizerNeedsDescriptors())
        GTEST_SKIP() << "SKIPPED under a sanitizer: it needs spare descriptors";
    EXPECT_EQ(-1, run("quib.broker.address = 192.0.2.1", 0));
    EXPECT_EQ(std::vector<std::string>{"ERROR cBroker Could not create broker socket"},
              mLog.records());
}

TEST_F(ClientStart, ConnectsToTheResolvedAddressThenBailsOutWithoutTunDevice)
{
    if (sanitizerNeedsDescriptors())
        GTEST_SKIP() << "SKIPPED under a sanitizer: it needs spare descriptors";
    // The first look-up loads the resolver's configuration, which needs
    // descriptors of its own; later look-ups of a dotted address need none.
    ASSERT_NE(nullptr, gethostbyname("192.0.2.1"));
    CaptureStderr();
    EXPECT_EQ(-1, run("quib.broker.address = 192.0.2.1\nquib.broker.port = 4000", 1));
    std::string err = GetCapturedStderr();
    EXPECT_GE(mBroker->mUdpSocket, 0);
    std::vector<std::string> expected = {
        "INFO cBroker Connecting to 192.0.2.1(192.0.2.1):4000",
        "ERROR cBroker Problems setting up the tun interface. Bailing out",
    };
    EXPECT_EQ(expected, mLog.records());
    EXPECT_NE(std::string::npos, err.find("Open clonedev:")) << err;
}

TEST_F(ClientStart, UnresolvableBrokerNameIsReported)
{
    // The look-up must stay inside a network of our own.
    if (!inPrivateNetwork())
        GTEST_SKIP() << "needs a private network namespace: " << whyNoPrivateNetwork();
    EXPECT_EQ(-1, run("quib.broker.address = broker.invalid"));
    std::vector<std::string> expected = {
        "ERROR cBroker Could not resolve hostname: 'broker.invalid'"};
    EXPECT_EQ(expected, mLog.records());
}

class ClientTunDevice : public cClientTest {
protected:
    void SetUp() override
    {
        if (!inPrivateNetwork())
            GTEST_SKIP() << "needs a private network namespace: " << whyNoPrivateNetwork();
        cClientTest::SetUp();
        close(mBroker.mTunFd);
        mBroker.mTunFd = -1;
        ASSERT_TRUE(mBroker.openTun());
        configure("quib.route.default = 1");
        mLog.records();
    }
};

TEST_F(ClientTunDevice, AcceptedOfferAddressesTheDeviceAndAddsTheDefaultRoute)
{
    const std::string& name = mBroker.mTunName;
    EXPECT_EQ(cBroker::CLIENT_CONTINUE, deliver(mBrokerFd, exampleOffer()));
    EXPECT_TRUE(procLineWith("/proc/net/if_inet6", name, "20010db8000000000000000000000007"));
    EXPECT_TRUE(procLineWith("/proc/net/ipv6_route", name, std::string(32, '0') + " 00 "));
    EXPECT_EQ("7", cTempDir::read(gTunIdPath));
    EXPECT_EQ(std::string("accept\0", 7), takeDatagram(mBrokerFd));
}

TEST_F(ClientTunDevice, DefaultRouteThatCannotBeAddedEndsTheRun)
{
    in6_addr other{};
    inet_pton(AF_INET6, "2001:db8:1::1", &other);
    ASSERT_TRUE(mBroker.setTunAddress(&other, 64));
    ASSERT_TRUE(mBroker.setDefaultRoute()); // the offer's route now exists already
    mLog.records();
    CaptureStderr();
    EXPECT_EQ(-1, deliver(mBrokerFd, exampleOffer()));
    std::string err = GetCapturedStderr();
    std::vector<std::string> lines;
    for (const std::string& r : mLog.records())
        if (r.find("ERROR") == 0)
            lines.push_back(r);
    EXPECT_EQ(std::vector<std::string>{"ERROR cBroker Could set the default route. Bailing out"},
              lines);
    EXPECT_NE(std::string::npos, err.find("SIOCADDRT failed")) << err;
}
