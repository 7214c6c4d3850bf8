// Start-up outcomes that end before a mode's run begins.
#include "config/cConfig.h"
#include "logCapture.h"
#include "main/cBroker.h"
#include "tempFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class DaemonStart : public testing::Test {
protected:
    void SetUp() override { mSaved = gBroker; }
    // gBroker is never cleared by the daemon; tests put back what they found.
    void TearDown() override { gBroker = mSaved; }

    cTempDir mDir;
    cLogCapture mLog;
    cBroker* mSaved = nullptr;
};

TEST_F(DaemonStart, UnloadableConfigurationIsReportedTwiceAndFails)
{
    ASSERT_EQ(nullptr, gBroker);
    std::string path = mDir.path() + "/missing.conf";

    CaptureStdout();
    int result = runDaemon(nullptr, path.c_str());
    std::string out = GetCapturedStdout();

    EXPECT_EQ(-1, result);
    EXPECT_EQ("Couldn't load config file '" + path + "' bailing out\n", out);
    std::vector<std::string> expected = {
        "ERROR cDebug Couldn't load config file '" + path + "' bailing out"};
    EXPECT_EQ(expected, mLog.records());
    EXPECT_EQ(nullptr, gBroker);
}

TEST_F(DaemonStart, PathWithPercentSignsIsShownLiterally)
{
    std::string path = mDir.path() + "/100%s%n%d.conf";

    CaptureStdout();
    int result = runDaemon("client", path.c_str());
    std::string out = GetCapturedStdout();

    EXPECT_EQ(-1, result);
    EXPECT_EQ("Couldn't load config file '" + path + "' bailing out\n", out);
    std::vector<std::string> expected = {
        "ERROR cDebug Couldn't load config file '" + path + "' bailing out"};
    EXPECT_EQ(expected, mLog.records());
}

TEST_F(DaemonStart, SecondStartFailsAtOnceWithoutAWord)
{
    cBroker first;
    gBroker = &first;
    mLog.records();
    std::string path = mDir.path() + "/missing.conf";

    CaptureStdout();
    int result = runDaemon("client", path.c_str());
    std::string out = GetCapturedStdout();

    EXPECT_EQ(-1, result);
    EXPECT_EQ("", out);
    EXPECT_TRUE(mLog.records().empty());
    EXPECT_EQ(&first, gBroker);
}
