// Start-up outcomes that end before a mode's run begins.
#include "config/cConfig.h"
#include "logCapture.h"
#include "main/cBroker.h"
#include "tempFile.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class DaemonStart : public testing::Test {
protected:
    void SetUp() override { mSaved = gBroker; }
    // gBroker is never cleared by the daemon; tests put back what they found.
    void TearDown() override { gBroker = mSaved; }

    // runDaemon's result and what it printed on standard output.
    static std::pair<int, std::string> start(const char* mode, const std::string& path)
    {
        CaptureStdout();
        int result = runDaemon(mode, path.c_str());
        return {result, GetCapturedStdout()};
    }

    cTempDir mDir;
    cLogCapture mLog;
    cBroker* mSaved = nullptr;
};

TEST_F(DaemonStart, UnloadableConfigurationIsReportedTwiceLiterallyAndFails)
{
    ASSERT_EQ(nullptr, gBroker);
    // A path with percent signs is shown as it is.
    const std::pair<const char*, const char*> cases[] = {{nullptr, "/missing.conf"},
                                                         {"client", "/100%s%n%d.conf"}};
    for (const auto& c : cases) {
        std::string path = mDir.path() + c.second;
        std::string line = "Couldn't load config file '" + path + "' bailing out";
        EXPECT_EQ(std::make_pair(-1, line + "\n"), start(c.first, path));
        EXPECT_EQ(std::vector<std::string>{"ERROR cDebug " + line}, mLog.records());
        EXPECT_EQ(nullptr, gBroker);
    }
}

TEST_F(DaemonStart, SecondStartFailsAtOnceWithoutAWord)
{
    cBroker first;
    gBroker = &first;
    mLog.records();
    EXPECT_EQ(std::make_pair(-1, std::string()), start("client", mDir.path() + "/missing.conf"));
    EXPECT_TRUE(mLog.records().empty());
    EXPECT_EQ(&first, gBroker);
}
