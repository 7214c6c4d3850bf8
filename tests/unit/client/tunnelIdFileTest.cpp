// The tunnel-identifier file kept between runs.
#include "clientTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <utility>

class TunnelIdFile : public testing::Test {
protected:
    void SetUp() override { mBroker.useTunnelIdPath(mPath); }

    cLogCapture mLog;
    cTempDir mDir;
    const std::string mPath = mDir.path() + "/tunid";
    cBroker mBroker;
};

TEST_F(TunnelIdFile, IdentifierIsStoredAsBareDigitsAndReadBack)
{
    mLog.records();
    EXPECT_EQ(0u, mBroker.readTunnelId()); // first run: no file yet
    mBroker.writeTunnelId(2305644331u);
    EXPECT_EQ("2305644331", cTempDir::read(mPath));
    EXPECT_EQ(2305644331u, mBroker.readTunnelId());
    mBroker.writeTunnelId(7); // a shorter identifier replaces the whole content
    EXPECT_EQ("7", cTempDir::read(mPath));
    EXPECT_EQ(7u, mBroker.readTunnelId());
    mBroker.writeTunnelId(0);
    EXPECT_EQ("0", cTempDir::read(mPath));
    EXPECT_TRUE(mLog.records().empty()); // a write that succeeds says nothing
    // Written beside and renamed into place: no temporary file is left.
    EXPECT_EQ(0, system(("test \"$(ls -A '" + mDir.path() + "')\" = tunid").c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(mPath.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
}

// An ordinary extraction of an unsigned 32-bit number: its sign rule takes
// "-5" as 2^32 - 5 and its overflow rule gives the largest value.
TEST_F(TunnelIdFile, OddContentsYieldWhatTheNumberExtractionReads)
{
    const std::pair<const char*, unsigned> cases[] = {
        {"  \n\t 42", 42},   {"42\n", 42},          {"42 trailing text", 42}, {"0042", 42},
        {"4294967295", 4294967295u}, {"x42", 0},    {"", 0},                  {" \n", 0},
        {"-5", 4294967291u}, {"+5", 5},             {"+7", 7},
        {"4294967296", 4294967295u},                {"0x10", 0},
    };
    for (const auto& c : cases) {
        mDir.write("tunid", c.first);
        EXPECT_EQ(c.second, mBroker.readTunnelId()) << "content '" << c.first << "'";
    }
}

TEST_F(TunnelIdFile, EachFailedWriteIsReportedWithTheFileAndWhy)
{
    const std::string absent = mDir.path() + "/absent";
    mBroker.useTunnelIdPath(absent + "/tunid");
    mLog.records();
    mBroker.writeTunnelId(9);
    mBroker.writeTunnelKey(std::string(32, 'a'));
    mBroker.writeRoutedPrefix("2001:db8:100:2a::/64");
    mBroker.writeRoutedPrefix(""); // nothing there to remove: nothing to say
    EXPECT_EQ(0u, mBroker.readTunnelId());
    EXPECT_NE(0, access(absent.c_str(), F_OK));
    // A key file that is a directory can be neither read nor replaced.
    mBroker.useTunnelIdPath(mPath);
    ASSERT_EQ(0, mkdir((mDir.path() + "/tunkey").c_str(), 0700));
    mBroker.writeTunnelKey(std::string(32, 'a'));
    ASSERT_EQ(0, mkdir((mDir.path() + "/routedprefix").c_str(), 0700));
    mBroker.writeRoutedPrefix("");
    std::vector<std::string> expected = {
        "ERROR cBroker Cannot write the tunnel identifier file '" + absent + "/tunid': No such file or directory",
        "ERROR cBroker Cannot write the tunnel key file '" + absent + "/tunkey': No such file or directory",
        "ERROR cBroker Cannot write the routed prefix file '" + absent + "/routedprefix': No such file or directory",
        "ERROR cBroker Cannot write the tunnel key file '" + mDir.path() + "/tunkey': Is a directory",
        "ERROR cBroker Cannot remove the routed prefix file '" + mDir.path() + "/routedprefix': Is a directory",
    };
    EXPECT_EQ(expected, mLog.records());
}

TEST_F(TunnelIdFile, KeyOfAnotherFormIsReadAsNoneAndSaidSo)
{
    const std::string key = kExampleKey;
    const std::pair<std::string, std::string> cases[] = {
        {key + "\n", key}, {key.substr(1), ""}, {key + "0", ""}, {"A" + key.substr(1), ""}};
    const std::string said = "INFO cBroker The tunnel key file '" + mDir.path()
        + "/tunkey' holds no usable key, the broker's next key replaces it";
    for (const auto& c : cases) {
        mDir.write("tunkey", c.first);
        mLog.records();
        EXPECT_EQ(c.second, mBroker.readTunnelKey()) << c.first;
        EXPECT_EQ(c.second.empty() ? std::vector<std::string>{said} : std::vector<std::string>{},
                  mLog.records()) << c.first;
    }
}
