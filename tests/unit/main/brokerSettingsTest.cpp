// The cBroker's settings as an operator's configuration file gives them.
#include "configuredBroker.h"
#include "logCapture.h"
#include "setupMessages.h"
#include "tempFile.h"
#include "tunnel/cDelegationTable.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

class BrokerSettings : public testing::Test {
protected:
    cTempDir mDir;
    cLogCapture mLog;
};

TEST_F(BrokerSettings, EmptyFileGivesDefaultPortAndNoAddressOrPrefix)
{
    auto broker = brokerFrom("# nothing configured\n");
    EXPECT_EQ(3653, broker->port());
    EXPECT_EQ(nullptr, broker->brokerAddress());
    EXPECT_EQ("::", ip6Text(&broker->prefix()));
    EXPECT_EQ(0, broker->prefixLen());
    EXPECT_EQ("", broker->tunName());
    EXPECT_EQ(-1, broker->tunFd());
    EXPECT_EQ(-1, broker->udpSocket());
    EXPECT_EQ(1400, broker->tunMtu());
    EXPECT_TRUE(mLog.records("cBroker").empty());
}

TEST_F(BrokerSettings, ConfiguredValuesAreTakenAsWritten)
{
    auto broker = brokerFrom("quib.broker.port = 4000\n"
                             "quib.broker.address = broker.example.net\n"
                             "quib.broker.ip6prefix = 2001:db8:1:2::\n"
                             "quib.broker.ip6prefixlen = 48\n");
    EXPECT_EQ(4000, broker->port());
    ASSERT_NE(nullptr, broker->brokerAddress());
    EXPECT_STREQ("broker.example.net", broker->brokerAddress());
    EXPECT_EQ("2001:db8:1:2::", ip6Text(&broker->prefix()));
    EXPECT_EQ(48, broker->prefixLen());
    EXPECT_TRUE(mLog.records("cBroker").empty());
}

// A prefix without length gets 64; numbers out of range keep their low
// bits; a length without prefix is ignored.
TEST_F(BrokerSettings, PrefixLengthAndPortAsTheyCombine)
{
    struct {
        const char* text;
        int port;
        const char* prefix;
        int prefixLen;
    } cases[] = {
        {"quib.broker.ip6prefix = 2001:db8::\n", 3653, "2001:db8::", 64},
        {"quib.broker.port = 70000\n"
         "quib.broker.ip6prefix = 2001:db8::\n"
         "quib.broker.ip6prefixlen = 300\n",
         4464, "2001:db8::", 44},
        {"quib.broker.ip6prefixlen = 48\n", 3653, "::", 0},
    };
    for (const auto& c : cases) {
        auto broker = brokerFrom(c.text);
        EXPECT_EQ(c.port, broker->port()) << c.text;
        EXPECT_EQ(c.prefix, ip6Text(&broker->prefix())) << c.text;
        EXPECT_EQ(c.prefixLen, broker->prefixLen()) << c.text;
    }
}

TEST_F(BrokerSettings, PrefixThatIsNoIPv6AddressIsReportedAndCountsAsNone)
{
    const char* bad[] = {"2001:db8::zz", "192.0.2.0", "2001:db8::/64"};
    for (const char* text : bad) {
        auto broker = brokerFrom(std::string("quib.broker.ip6prefix = ") + text + "\n"
                                 "quib.broker.ip6prefixlen = 48\n");
        EXPECT_EQ("::", ip6Text(&broker->prefix())) << text;
        EXPECT_EQ(0, broker->prefixLen()) << text;
        EXPECT_EQ(Records{std::string("ERROR cBroker Ignoring quib.broker.ip6prefix '") + text
                          + "': not an IPv6 address"},
                  mLog.records("cBroker"));
    }
}

// A pool that overlaps the tunnel prefix stops the start (the table itself
// refuses a bad length); a usable one reads its file, drops what it cannot use and
// writes the file again.
TEST_F(BrokerSettings, ThePoolOfRoutedPrefixesIsCheckedAndItsFileRead)
{
    const std::string lines = "quib.broker.ip6prefix = 2001:db8::\n"
                              "quib.broker.delegationfile = " + mDir.path() + "/state/delegations\n";
    EXPECT_FALSE(brokerFrom(lines + "quib.broker.delegation = 2001:db8::/32\n")->delegationsUsable());
    EXPECT_EQ("ERROR cBroker quib.broker.delegation '2001:db8::/32' overlaps the tunnel prefix "
              "2001:db8::/64. Bailing out",
              mLog.records("cBroker").back());

    mkdir((mDir.path() + "/state").c_str(), 0700);
    mDir.write("state/delegations", "7 2001:db8:100:2a::/64 1700000000\nnonsense\n");
    auto broker = brokerFrom(lines + "quib.broker.delegation = 2001:db8:100::/48\n");
    EXPECT_TRUE(broker->delegationsUsable());
    EXPECT_EQ(7u, gDelegations.holderOf(ip6("2001:db8:100:2a::1")));
    const std::string file = mDir.path() + "/state/delegations";
    EXPECT_EQ("7 2001:db8:100:2a::/64 1700000000\n", cTempDir::read(file));

    // New delegations reach the file at once, then at most once a second.
    const long long second = 1000000000LL, now = 5000 * second;
    auto none = [](uint32_t) { return false; };
    gDelegations.delegate(8, now, none);
    EXPECT_FALSE(broker->saveDelegations(now));
    EXPECT_NE(std::string::npos, cTempDir::read(file).find("\n8 "));
    gDelegations.delegate(9, now, none);
    EXPECT_TRUE(broker->saveDelegations(now + second / 2));
    EXPECT_EQ(std::string::npos, cTempDir::read(file).find("\n9 "));
    EXPECT_FALSE(broker->saveDelegations(now + second));
    EXPECT_NE(std::string::npos, cTempDir::read(file).find("\n9 "));
    gDelegations = cDelegationTable();
}
