// The client's start steps and what an accepted offer does to the kernel.
#include "clientTestSupport.h"

#include "status/statusSnapshot.h"

#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

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
        cNoFreeDescriptors limit(spareDescriptors);
        return mBroker->runClient();
    }
    void TearDown() override
    {
        if (mBroker && mBroker->udpSocket() >= 0)
            close(mBroker->udpSocket());
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
    EXPECT_EQ(-1, mBroker->udpSocket());
    EXPECT_EQ(-1, mBroker->tunFd());
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
    EXPECT_GE(mBroker->udpSocket(), 0);
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
    if (!cPrivateNetwork::ready())
        GTEST_SKIP() << "needs a private network namespace: " << cPrivateNetwork::whyNot();
    EXPECT_EQ(-1, run("quib.broker.address = broker.invalid"));
    std::vector<std::string> expected = {
        "ERROR cBroker Could not resolve hostname: 'broker.invalid'"};
    EXPECT_EQ(expected, mLog.records());
}

TEST_F(ClientStart, LanInterfaceThatIsMissingOrHasNoPrefixToGetStopsBeforeTheSocket)
{
    const std::string client = "quib.broker.address = 192.0.2.1\nquib.client.lan = ";
    EXPECT_EQ(-1, run(client + "nosuch0\nquib.client.routedprefix = 1"));
    EXPECT_EQ(std::vector<std::string>{"ERROR cBroker quib.client.lan names no interface: 'nosuch0'. Bailing out"},
              mLog.records());
    EXPECT_EQ(-1, run(client + "lo"));
    EXPECT_EQ(std::vector<std::string>{"ERROR cBroker quib.client.lan is set but quib.client.routedprefix is 0: "
                                       "no prefix to give 'lo'. Bailing out"},
              mLog.records());
    EXPECT_EQ(-1, mBroker->udpSocket());
}

class ClientTunDevice : public cClientTest {
protected:
    void SetUp() override
    {
        if (!cPrivateNetwork::ready())
            GTEST_SKIP() << "needs a private network namespace: " << cPrivateNetwork::whyNot();
        cClientTest::SetUp();
        ASSERT_TRUE(mBroker.openTun());
        configure("quib.route.default = 1");
        mLog.records();
    }
};

namespace {

std::string keyedOffer()
{
    return keyedExampleOffer(kExampleKey);
}

} // namespace

TEST_F(ClientTunDevice, AcceptedOfferAddressesTheDeviceAndAddsTheDefaultRoute)
{
    const std::string& name = mBroker.tunName();
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, keyedOffer()));
    std::vector<std::string> addresses = interfaceAddresses(name);
    EXPECT_NE(addresses.end(), std::find(addresses.begin(), addresses.end(),
                                         "20010db8000000000000000000000007/64"));
    std::vector<std::string> routes = interfaceRoutes(name);
    EXPECT_TRUE(std::any_of(routes.begin(), routes.end(), [](const std::string& line) {
        return line.find(std::string(32, '0') + " 00 ") != std::string::npos;
    }));
    EXPECT_EQ("7", cTempDir::read(tunIdPath()));
    // The key is kept beside the identifier, for the owner's eyes only, and
    // repeated in the accept.
    EXPECT_EQ(kExampleKey, cTempDir::read(mDir.path() + "/tunkey"));
    struct stat st;
    ASSERT_EQ(0, stat((mDir.path() + "/tunkey").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    // The keepalive at once, to confirm the accept.
    EXPECT_EQ((std::vector<std::string>{exampleSetup("accept"), keepaliveBytes()}), sentToBroker());
}

TEST_F(ClientTunDevice, LostAcceptMakesTheClientSetUpAgainWithoutTouchingTheDevice)
{
    const std::string keepalive = keepaliveBytes();
    ASSERT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, keyedOffer()));
    sentToBroker(); // the accept and its keepalive, lost on the way
    mLog.records();

    // Nothing from the broker until the quiet interval: the request again,
    // and a keepalive for a broker that still holds the tunnel to answer.
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, client().onQuiet(at(10)));
    EXPECT_EQ((std::vector<std::string>{exampleSetup("request"), keepalive}), sentToBroker());
    std::vector<std::string> records = mLog.records();
    EXPECT_NE(records.end(), std::find(records.begin(), records.end(),
                                       "INFO cBroker No word from the broker since the accept, "
                                       "setting up again"));
    // The next offer is taken as the first; the device keeps its address.
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, keyedOffer()));
    EXPECT_EQ((std::vector<std::string>{exampleSetup("accept"), keepalive}), sentToBroker());
    // A broker that answers keeps the link as it is: keepalives, no setup.
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, keepalive));
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, client().onQuiet(at(10)));
    EXPECT_TRUE(tunnel().isEstablished());
    EXPECT_EQ(std::vector<std::string>{keepalive}, sentToBroker());
}

TEST_F(ClientTunDevice, SetupAgainWithAnotherAddressMovesTheDeviceToItAndKeepsTheRoute)
{
    ASSERT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, keyedOffer()));
    ASSERT_EQ(cClientMode::CLIENT_CONTINUE, client().onQuiet(at(10)));
    std::string offer = tspBytes({"offer", "tunnelid=8", "ip6prefix=2001:db8::", "ip6prefixlen=64",
                                  "ip6addr=2001:db8::8", "keepalive=30"});
    EXPECT_EQ(cClientMode::CLIENT_CONTINUE, deliver(mBrokerEndpoint, offer));
    std::vector<std::string> addresses = interfaceAddresses(mBroker.tunName());
    // Sorted, the old address would come first; the link-local one comes last.
    std::sort(addresses.begin(), addresses.end());
    EXPECT_EQ("20010db8000000000000000000000008/64", addresses.at(0));
    std::vector<std::string> routes = interfaceRoutes(mBroker.tunName());
    EXPECT_EQ(1, std::count_if(routes.begin(), routes.end(), [](const std::string& line) {
                  return line.rfind(std::string(32, '0') + " 00 ", 0) == 0;
              }));
    EXPECT_EQ("8", cTempDir::read(tunIdPath()));
}

TEST_F(ClientTunDevice, DefaultRouteThatCannotBeAddedEndsTheRun)
{
    in6_addr other = ip6("2001:db8:1::1");
    ASSERT_TRUE(mBroker.setTunAddress(&other, 64));
    ASSERT_TRUE(mBroker.setDefaultRoute()); // the offer's route now exists already
    mLog.records();
    CaptureStderr();
    EXPECT_EQ(-1, deliver(mBrokerEndpoint, exampleOffer()));
    std::string err = GetCapturedStderr();
    std::vector<std::string> lines;
    for (const std::string& r : mLog.records())
        if (r.find("ERROR") == 0)
            lines.push_back(r);
    EXPECT_EQ(std::vector<std::string>{"ERROR cBroker Could set the default route. Bailing out"},
              lines);
    EXPECT_NE(std::string::npos, err.find("SIOCADDRT failed")) << err;
}

TEST_F(ClientTunDevice, RoutedPrefixIsLoggedKeptForScriptsAndMovesTheLanAddressWithIt)
{
    configure("quib.client.routedprefix = 1\nquib.client.lan = lo");
    auto onLan = [](const char* hex) {
        std::vector<std::string> lan = interfaceAddresses("lo");
        return std::count(lan.begin(), lan.end(), std::string(hex) + "0000000000000001/64");
    };
    // A run before a restart left the address on the interface: no failure.
    in6_addr left = ip6("2001:db8:100:2a::1");
    ASSERT_TRUE(mBroker.setLanAddress("lo", &left, 64));
    const std::string path = mDir.path() + "/routedprefix";
    mLog.records();
    CaptureStderr();
    deliver(mBrokerEndpoint, keyedExampleOffer(kExampleKey, "2001:db8:100:2a::/64"));
    EXPECT_EQ("", GetCapturedStderr());
    // Repeating the prefix in the accept is what takes it.
    std::string accept = exampleSetup("accept") + tspBytes({"routedprefix=2001:db8:100:2a::/64"});
    EXPECT_EQ(accept, sentToBroker().at(0));
    std::vector<std::string> records = mLog.records();
    EXPECT_EQ(1, std::count(records.begin(), records.end(), "INFO cBroker Routed prefix '2001:db8:100:2a::/64'"));
    EXPECT_EQ("2001:db8:100:2a::/64\n", cTempDir::read(path));
    struct stat st;
    EXPECT_TRUE(stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0644);
    EXPECT_EQ(1, onLan("20010db80100002a"));
    sStatusSnapshot status;
    client().fillStatus(status, kStart);
    EXPECT_EQ("2001:db8:100:2a::/64", status.tunnels.at(0).routedPrefix);

    // Set up again (the request asks again), offered another prefix.
    client().onQuiet(at(10));
    EXPECT_EQ(exampleSetup("request") + tspBytes({"routedprefix="}), sentToBroker().at(0));
    deliver(mBrokerEndpoint, keyedExampleOffer(kExampleKey, "2001:db8:100:2b::/64"), at(10));
    EXPECT_EQ(0, onLan("20010db80100002a"));
    EXPECT_EQ(1, onLan("20010db80100002b"));
    EXPECT_EQ("2001:db8:100:2b::/64\n", cTempDir::read(path));

    // And once with none: nothing stale is left for scripts or hosts.
    client().onQuiet(at(20));
    mLog.records();
    deliver(mBrokerEndpoint, keyedExampleOffer(kExampleKey), at(20));
    records = mLog.records();
    EXPECT_EQ(1, std::count(records.begin(), records.end(), "INFO cBroker The broker gave no routed prefix"));
    EXPECT_NE(0, access(path.c_str(), F_OK));
    EXPECT_EQ(0, onLan("20010db80100002b"));
}
