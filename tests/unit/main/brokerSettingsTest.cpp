// The cBroker's settings as an operator's configuration file gives them.
#include "config/cConfig.h"
#include "logCapture.h"
#include "main/cBroker.h"
#include "tempFile.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string> brokerRecords(cLogCapture& capture)
{
    std::vector<std::string> out;
    for (const std::string& record : capture.records())
        if (record.find(" cBroker ") != std::string::npos)
            out.push_back(record);
    return out;
}

std::string prefixText(const in6_addr& prefix)
{
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &prefix, text, sizeof(text));
    return text;
}

} // namespace

class BrokerSettings : public testing::Test {
protected:
    // Loads text as the configuration and builds a broker from it.
    std::unique_ptr<cBroker> brokerFrom(const std::string& text)
    {
        std::string path = mDir.write("quibd.conf", text);
        if (!cConfig::load(path.c_str()))
            ADD_FAILURE() << "cannot load " << path;
        return std::unique_ptr<cBroker>(new cBroker());
    }

    cTempDir mDir;
    cLogCapture mLog;
};

TEST_F(BrokerSettings, EmptyFileGivesDefaultPortAndNoAddressOrPrefix)
{
    auto broker = brokerFrom("# nothing configured\n");
    EXPECT_EQ(3653, broker->mPort);
    EXPECT_EQ(nullptr, broker->mBrokerAddress);
    EXPECT_EQ("::", prefixText(broker->mPrefix));
    EXPECT_EQ(0, broker->mPrefixLen);
    EXPECT_EQ("", broker->mTunName);
    EXPECT_EQ(-1, broker->mTunFd);
    EXPECT_EQ(-1, broker->mUdpSocket);
    EXPECT_EQ(1400, broker->mTunMtu);
    EXPECT_TRUE(brokerRecords(mLog).empty());
}

TEST_F(BrokerSettings, ConfiguredValuesAreTakenAsWritten)
{
    auto broker = brokerFrom("quib.broker.port = 4000\n"
                             "quib.broker.address = broker.example.net\n"
                             "quib.broker.ip6prefix = 2001:db8:1:2::\n"
                             "quib.broker.ip6prefixlen = 48\n");
    EXPECT_EQ(4000, broker->mPort);
    ASSERT_NE(nullptr, broker->mBrokerAddress);
    EXPECT_STREQ("broker.example.net", broker->mBrokerAddress);
    const unsigned char expected[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 2};
    EXPECT_EQ(0, std::memcmp(expected, &broker->mPrefix, 16)) << prefixText(broker->mPrefix);
    EXPECT_EQ(48, broker->mPrefixLen);
    EXPECT_TRUE(brokerRecords(mLog).empty());
}

TEST_F(BrokerSettings, PrefixWithoutLengthGetsSixtyFour)
{
    auto broker = brokerFrom("quib.broker.ip6prefix = 2001:db8::\n");
    EXPECT_EQ("2001:db8::", prefixText(broker->mPrefix));
    EXPECT_EQ(64, broker->mPrefixLen);
}

TEST_F(BrokerSettings, OutOfRangeNumbersKeepTheirLowBits)
{
    auto broker = brokerFrom("quib.broker.port = 70000\n"
                             "quib.broker.ip6prefix = 2001:db8::\n"
                             "quib.broker.ip6prefixlen = 300\n");
    EXPECT_EQ(4464, broker->mPort);
    EXPECT_EQ(44, broker->mPrefixLen);
}

TEST_F(BrokerSettings, PrefixLengthWithoutPrefixIsIgnored)
{
    auto broker = brokerFrom("quib.broker.ip6prefixlen = 48\n");
    EXPECT_EQ("::", prefixText(broker->mPrefix));
    EXPECT_EQ(0, broker->mPrefixLen);
}

TEST_F(BrokerSettings, PrefixThatIsNoIPv6AddressIsReportedAndCountsAsNone)
{
    const char* bad[] = {"2001:db8::zz", "192.0.2.0", "2001:db8::/64"};
    for (const char* text : bad) {
        auto broker = brokerFrom(std::string("quib.broker.ip6prefix = ") + text + "\n"
                                 "quib.broker.ip6prefixlen = 48\n");
        EXPECT_EQ("::", prefixText(broker->mPrefix)) << text;
        EXPECT_EQ(0, broker->mPrefixLen) << text;
        std::vector<std::string> expected = {
            std::string("ERROR cBroker Ignoring quib.broker.ip6prefix '") + text
            + "': not an IPv6 address"};
        EXPECT_EQ(expected, brokerRecords(mLog));
    }
}
