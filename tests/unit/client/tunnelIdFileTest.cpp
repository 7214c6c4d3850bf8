// The tunnel-identifier file kept between runs.
#include "clientTestSupport.h"

#include <utility>

class TunnelIdFile : public testing::Test {
protected:
    void SetUp() override { gTunIdPath = mDir.path() + "/tunid"; }
    void TearDown() override { gTunIdPath = "/var/lib/quibd/tunid"; }

    cLogCapture mLog;
    cTempDir mDir;
    cBroker mBroker;
};

TEST_F(TunnelIdFile, IdentifierIsStoredAsBareDigitsAndReadBack)
{
    mLog.records();
    EXPECT_EQ(0u, mBroker.readTunnelId()); // first run: no file yet
    mBroker.writeTunnelId(2305644331u);
    EXPECT_EQ("2305644331", cTempDir::read(gTunIdPath));
    EXPECT_EQ(2305644331u, mBroker.readTunnelId());
    mBroker.writeTunnelId(7); // a shorter identifier replaces the whole content
    EXPECT_EQ("7", cTempDir::read(gTunIdPath));
    EXPECT_EQ(7u, mBroker.readTunnelId());
    mBroker.writeTunnelId(0);
    EXPECT_EQ("0", cTempDir::read(gTunIdPath));
    EXPECT_TRUE(mLog.records().empty()); // the file is best effort and silent
}

TEST_F(TunnelIdFile, OddContentsYieldTheLeadingNumberOrZero)
{
    const std::pair<const char*, unsigned> cases[] = {
        {"  \n\t 42", 42},   {"42\n", 42},          {"42 trailing text", 42}, {"0042", 42},
        {"4294967295", 4294967295u}, {"x42", 0},    {"", 0},                  {" \n", 0},
        {"-5", 0},           {"+5", 0},             {"4294967296", 0},        {"0x10", 0},
    };
    for (const auto& c : cases) {
        mDir.write("tunid", c.first);
        EXPECT_EQ(c.second, mBroker.readTunnelId()) << "content '" << c.first << "'";
    }
}

TEST_F(TunnelIdFile, MissingDirectoryIsSilentAndCreatesNothing)
{
    gTunIdPath = mDir.path() + "/absent/tunid";
    mLog.records();
    mBroker.writeTunnelId(9);
    EXPECT_EQ(0u, mBroker.readTunnelId());
    EXPECT_NE(0, access((mDir.path() + "/absent").c_str(), F_OK));
    EXPECT_TRUE(mLog.records().empty());
}
