#include "config/cConfig.h"
#include "config/configKeys.h"
#include "tempFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <sstream>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class ConfigFile : public testing::Test {
protected:
    bool loadText(const std::string& text)
    {
        return cConfig::load(mDir.write("quibd.conf", text).c_str());
    }
    cTempDir mDir;
};

TEST_F(ConfigFile, OperatorFileWithCommentsBlanksAndRepeatsReadsAsWritten)
{
    ASSERT_TRUE(loadText("# broker settings\n"
                         "\n"
                         "   quib.mode   =   broker  \n"
                         "\t# indented comment = ignored\n"
                         "quib.broker.port=4000\r\n"
                         "quib.broker.port = 5000\n"
                         "quib.broker.ip6prefix = 2001:db8:: # not a comment\n"
                         "log4cpp.appender.A.layout.ConversionPattern = %p %c %m%n\n"
                         "quib.empty =\n"));
    EXPECT_STREQ("broker", cConfig::getString("quib.mode", "client"));
    EXPECT_EQ(5000, cConfig::getInt("quib.broker.port", 3653));
    EXPECT_STREQ("2001:db8:: # not a comment", cConfig::getString("quib.broker.ip6prefix", nullptr));
    EXPECT_STREQ("%p %c %m%n",
                 cConfig::getString("log4cpp.appender.A.layout.ConversionPattern", nullptr));
    EXPECT_STREQ("", cConfig::getString("quib.empty", "x"));
    EXPECT_EQ(nullptr, cConfig::getString("# indented comment", nullptr));
    EXPECT_EQ(nullptr, cConfig::getString("quib.broker.address", nullptr));
    EXPECT_EQ(64, cConfig::getInt("quib.broker.ip6prefixlen", 64));
}

TEST_F(ConfigFile, UnreadableOrMalformedFileFailsAndKeepsWhatWasLoaded)
{
    ASSERT_TRUE(loadText("quib.broker.port = 1234\n"));

    EXPECT_FALSE(cConfig::load((mDir.path() + "/missing.conf").c_str()));
    EXPECT_FALSE(cConfig::load(mDir.path().c_str())); // a directory
    EXPECT_FALSE(cConfig::load(nullptr));

    std::string bad = mDir.write("bad.conf", "quib.mode = broker\n\nquib.broker.port 99\n");
    CaptureStderr();
    EXPECT_FALSE(cConfig::load(bad.c_str()));
    std::string err = GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(bad + ":3:")) << err;
    EXPECT_NE(std::string::npos, err.find("quib.broker.port 99")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;

    EXPECT_EQ(1234, cConfig::getInt("quib.broker.port", 3653));
    EXPECT_EQ(nullptr, cConfig::getString("quib.mode", nullptr));
}

TEST_F(ConfigFile, IntegersAreDecimalAndBadValuesFallBackToTheDefaultWithOneLine)
{
    ASSERT_TRUE(loadText("plus = +42\nminus = -7\nzero = 0\nmax = 2147483647\nmin = -2147483648\n"
                         "junk = 12abc\nhex = 0x10\nhuge = 2147483648\nhuger = 99999999999999999999\n"
                         "blank =\nword = yes\nspaced = 1 2\n"));
    EXPECT_EQ(42, cConfig::getInt("plus", 1));
    EXPECT_EQ(-7, cConfig::getInt("minus", 1));
    EXPECT_EQ(0, cConfig::getInt("zero", 1));
    EXPECT_EQ(INT_MAX, cConfig::getInt("max", 1));
    EXPECT_EQ(INT_MIN, cConfig::getInt("min", 1));
    EXPECT_EQ(9, cConfig::getInt("absent", 9));

    for (const char* key : {"junk", "hex", "huge", "huger", "blank", "word", "spaced"}) {
        CaptureStderr();
        EXPECT_EQ(3653, cConfig::getInt(key, 3653)) << key;
        std::string err = GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find(std::string("'") + key + "'")) << err;
        EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    }
}

TEST_F(ConfigFile, TextStaysValidAcrossReloads)
{
    ASSERT_TRUE(loadText("quib.broker.address = broker.example\n"));
    const char* address = cConfig::getString("quib.broker.address", nullptr);
    ASSERT_NE(nullptr, address);
    ASSERT_TRUE(loadText("quib.broker.address = other.example\n"));
    EXPECT_STREQ("broker.example", address);
    EXPECT_STREQ("other.example", cConfig::getString("quib.broker.address", nullptr));
    EXPECT_STREQ("fallback", cConfig::getString("quib.mode", "fallback"));
}

TEST_F(ConfigFile, TableKeysReadWithTheTableDefaults)
{
    ASSERT_TRUE(loadText("quib.tun.mtu = 1300\nquib.broker.address = broker.example\n"));
    EXPECT_EQ(1300, configInt("quib.tun.mtu"));
    EXPECT_EQ(configKey("quib.broker.port").defaultValue, configInt("quib.broker.port"));
    EXPECT_STREQ("broker.example", configText("quib.broker.address"));
    EXPECT_STREQ(configKey("quib.mode").defaultText, configText("quib.mode"));
    EXPECT_DEATH(configKey("quib.no.such.key"), "");
    EXPECT_DEATH(configInt("quib.mode"), "");
}

TEST_F(ConfigFile, ValueOutsideAKeysRangeIsNamedInOneLine)
{
    std::ostringstream err;
    EXPECT_TRUE(configValueUsable(configKey("quib.tun.mtu"), 1280, err));
    EXPECT_TRUE(configValueUsable(configKey("quib.tun.mtu"), 1500, err));
    EXPECT_TRUE(configValueUsable(configKey("quib.broker.port"), INT_MIN, err));
    EXPECT_TRUE(configValueUsable(configKey("quib.broker.port"), INT_MAX, err));
    EXPECT_EQ("", err.str());
    EXPECT_FALSE(configValueUsable(configKey("quib.tun.mtu"), 1279, err));
    EXPECT_FALSE(configValueUsable(configKey("quib.tun.mtu"), 1501, err));
    EXPECT_EQ("quib.tun.mtu must be between 1280 and 1500, not 1279. Bailing out\n"
              "quib.tun.mtu must be between 1280 and 1500, not 1501. Bailing out\n",
              err.str());
}
