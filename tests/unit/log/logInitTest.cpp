#include "log/cWlog.h"
#include "tempFile.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <gtest/gtest.h>

#include <string>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Constructed before main, like the tunnel table's logger.
static cWlog gEarlyLog("cTunnel");

class LogInit : public testing::Test {
protected:
    std::string fileConfig(const std::string& logPath, const std::string& extra = "")
    {
        return "quib.mode = broker\n"
               "log4cpp.rootCategory = DEBUG, A\n"
               "log4cpp.appender.A = org.apache.log4j.FileAppender\n"
               "log4cpp.appender.A.fileName = " + logPath + "\n"
               "log4cpp.appender.A.layout = org.apache.log4j.PatternLayout\n"
               "log4cpp.appender.A.layout.ConversionPattern = %p %c %m%n\n" + extra;
    }
    void TearDown() override { cWlog::init(nullptr); }
    cTempDir mDir;
};

TEST_F(LogInit, FileAppenderFromTheDaemonsConfigurationGivesPlainRecords)
{
    std::string logPath = mDir.path() + "/quibd.log";
    cWlog::init(mDir.write("quibd.conf", fileConfig(logPath)).c_str());
    cWlog msg("cTSPMsg");
    msg.mDebug << "Got Tunnel Id" << 7 << std::endl;
    gEarlyLog.mDebug << "Making brand new tunnel.." << std::endl;
    cWlog::getLog("cDebug").error("Couldn't load config file '%s' bailing out", "/x.conf");
    EXPECT_EQ("DEBUG cTSPMsg Got Tunnel Id7\n"
              "DEBUG cTunnel Making brand new tunnel..\n"
              "ERROR cDebug Couldn't load config file '/x.conf' bailing out\n",
              cTempDir::read(logPath));
}

TEST_F(LogInit, ACategoryThresholdOfInfoDropsOnlyDebugLines)
{
    std::string logPath = mDir.path() + "/quibd.log";
    cWlog::init(mDir.write("quibd.conf",
                           fileConfig(logPath, "log4cpp.category.cBroker = INFO\n")).c_str());
    cWlog broker("cBroker");
    broker.mDebug << "Received 60 bytes on TUN" << std::endl;
    broker.mInfo << "Starting TUN thread..." << std::endl;
    broker.mError << "Could not create UDP socket" << std::endl;
    EXPECT_EQ("INFO cBroker Starting TUN thread...\nERROR cBroker Could not create UDP socket\n",
              cTempDir::read(logPath));
}

TEST_F(LogInit, WithoutLoggingKeysRecordsOfInfoAndAboveGoToStandardError)
{
    for (const std::string& path :
         {mDir.write("plain.conf", "quib.mode = client\n"), mDir.path() + "/missing.conf"}) {
        cWlog::init(path.c_str());
        EXPECT_EQ(log4cpp::Priority::INFO, log4cpp::Category::getRoot().getPriority());
        cWlog broker("cBroker");
        CaptureStderr();
        broker.mDebug << "hidden debug line" << std::endl;
        broker.mInfo << "Created Tun 'tun0'" << std::endl;
        std::string err = GetCapturedStderr();
        EXPECT_EQ(std::string::npos, err.find("hidden")) << err;
        EXPECT_NE(std::string::npos, err.find("INFO  cBroker: Created Tun 'tun0'")) << err;
        EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    }
}

TEST_F(LogInit, RejectedLoggingKeysAreReportedOnceAndTheDefaultIsUsed)
{
    std::string path = mDir.write("quibd.conf",
                                  "log4cpp.rootCategory = DEBUG, A\n"
                                  "log4cpp.appender.A = org.example.NoSuchAppender\n");
    CaptureStderr();
    cWlog::init(path.c_str());
    std::string err = GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(path)) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_EQ(log4cpp::Priority::INFO, log4cpp::Category::getRoot().getPriority());

    cWlog broker("cBroker");
    CaptureStderr();
    broker.mError << "still logged" << std::endl;
    err = GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("ERROR cBroker: still logged")) << err;
}
