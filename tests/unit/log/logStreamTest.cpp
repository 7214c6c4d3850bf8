#include "log/cWlog.h"
#include "log/logText.h"
#include "logCapture.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <set>
#include <string>
#include <thread>
#include <vector>

class LogStreams : public testing::Test {
protected:
    cLogCapture mCapture;
};

TEST_F(LogStreams, EachStreamWritesWholeLinesAtItsPriorityUnderTheObjectsCategory)
{
    cWlog broker("cBroker");
    broker.mInfo << "Starting UDP thread..." << std::endl;
    broker.mDebug << "Got " << 1280 << " bytes from the UDP Q" << std::endl;
    broker.mError << "Could not bind broker socket" << std::endl;
    broker.mDebug << "Receive " << -1 << " bytes from " << 'U' << "DP " << 42UL << std::endl;
    EXPECT_EQ((Records{"INFO cBroker Starting UDP thread...",
                       "DEBUG cBroker Got 1280 bytes from the UDP Q",
                       "ERROR cBroker Could not bind broker socket",
                       "DEBUG cBroker Receive -1 bytes from UDP 42"}),
              mCapture.records());
}

TEST_F(LogStreams, ObjectsOfOneKindShareOneCategory)
{
    cWlog first("cTSPMsg");
    cWlog second("cTSPMsg");
    cWlog queue("cPktQueu");
    first.mDebug << "Got Tunnel Id" << 7 << std::endl;
    second.mDebug << "Got Tunnel Keepalive" << 30 << std::endl;
    queue.mError << "Queue overflow. Dropping packet" << std::endl;
    EXPECT_EQ((Records{"DEBUG cTSPMsg Got Tunnel Id7", "DEBUG cTSPMsg Got Tunnel Keepalive30",
                       "ERROR cPktQueu Queue overflow. Dropping packet"}),
              mCapture.records());
}

TEST_F(LogStreams, PercentSignsReachTheRecordAsWrittenNeverAsAFormat)
{
    cWlog msg("cTSPMsg");
    msg.mDebug << "Dunno tag '" << "%s%n%x%p" << std::endl;
    EXPECT_EQ((Records{"DEBUG cTSPMsg Dunno tag '%s%n%x%p"}), mCapture.records());
}

TEST_F(LogStreams, PutAndFlushEndALineToo)
{
    cWlog tunnel("cTunnel");
    tunnel.mInfo << "Found tunnel..";
    EXPECT_TRUE(mCapture.records().empty()); // not complete yet
    tunnel.mInfo.put('\n');
    tunnel.mInfo.flush();
    tunnel.mDebug << "a\nb\n";
    EXPECT_EQ((Records{"INFO cTunnel Found tunnel..", "DEBUG cTunnel a", "DEBUG cTunnel b"}),
              mCapture.records());
}

TEST_F(LogStreams, AHexValueNeverLeavesTheStreamInHex)
{
    cWlog log("cTunnel");
    log.mDebug << "Removing stale tunnel 0x" << std::hex << 255u << " then " << 1280 << std::endl;
    log.mDebug << "TX " << 1280 << " bytes over tunnel" << std::endl;
    log.mInfo << "TunnelId: 0x" << hexText(0x896d572bUL) << " and " << 10 << std::endl;
    log.mDebug << std::hex;
    log.mDebug << 26 << std::endl;
    EXPECT_EQ((Records{"DEBUG cTunnel Removing stale tunnel 0xff then 1280",
                       "DEBUG cTunnel TX 1280 bytes over tunnel",
                       "INFO cTunnel TunnelId: 0x896d572b and 10", "DEBUG cTunnel 1a"}),
              mCapture.records());
    log.mDebug << 26 << std::endl;
    EXPECT_EQ((Records{"DEBUG cTunnel 26"}), mCapture.records());
}

// A category's threshold is checked when a line starts: a line it drops is
// never built, one it takes is finished whole.
class LogStreamThreshold : public testing::Test {
protected:
    void TearDown() override { category().setPriority(log4cpp::Priority::NOTSET); }
    static log4cpp::Category& category() { return log4cpp::Category::getInstance("cTunnel"); }
    cLogCapture mCapture;
    cWlog mLog{"cTunnel"};
};

TEST_F(LogStreamThreshold, DroppedLinesLeaveNothingForTheNextLine)
{
    category().setPriority(log4cpp::Priority::INFO);
    EXPECT_FALSE(mLog.mDebug.wanted());
    EXPECT_TRUE(mLog.mInfo.wanted());
    mLog.mDebug << "Found tunnel.." << std::endl;
    mLog.mDebug << "TX " << 1280;
    mLog.mDebug << " bytes over tunnel" << std::endl;
    mLog.mInfo << "Generated: '" << "2001:db8::1" << "'" << std::endl;
    EXPECT_EQ((Records{"INFO cTunnel Generated: '2001:db8::1'"}), mCapture.records());

    category().setPriority(log4cpp::Priority::DEBUG);
    EXPECT_TRUE(mLog.mDebug.wanted());
    mLog.mDebug << "TX " << 1280 << " bytes locally forwarded" << std::endl;
    EXPECT_EQ((Records{"DEBUG cTunnel TX 1280 bytes locally forwarded"}), mCapture.records());
}

TEST_F(LogStreamThreshold, LineBegunBeforeTheThresholdRoseEndsWhole)
{
    mLog.mDebug << "Removing stale tunnel 0x" << hexText(0x7abUL);
    category().setPriority(log4cpp::Priority::INFO);
    // Half a line is open: its end is still taken in, and log4cpp then
    // decides about the whole line at its new threshold.
    EXPECT_TRUE(mLog.mDebug.wanted());
    mLog.mDebug << " gone" << std::endl;
    EXPECT_TRUE(mCapture.records().empty());
    EXPECT_FALSE(mLog.mDebug.wanted());

    category().setPriority(log4cpp::Priority::DEBUG);
    mLog.mInfo << "Found ";
    category().setPriority(log4cpp::Priority::ERROR);
    mLog.mInfo << "tunnel.." << std::endl;
    mLog.mError << "Somebody is double releasing here" << std::endl;
    EXPECT_EQ((Records{"ERROR cTunnel Somebody is double releasing here"}), mCapture.records());
    category().setPriority(log4cpp::Priority::INFO);
    mLog.mInfo << "TunnelId: 0x" << hexText(7UL) << std::endl;
    EXPECT_EQ((Records{"INFO cTunnel TunnelId: 0x7"}), mCapture.records());
}

TEST_F(LogStreams, UnfinishedLineIsDeliveredWhenTheObjectGoes)
{
    {
        cWlog log("cTunnel");
        log.mError << "half a line";
    }
    EXPECT_EQ((Records{"ERROR cTunnel half a line"}), mCapture.records());
}

TEST_F(LogStreams, OverlongLineIsSplitNotLost)
{
    cWlog log("cTSPMsg");
    std::string big(cLogBuf::kMaxLine + 10, 'x');
    log.mDebug << big << std::endl;
    Records got = mCapture.records();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("DEBUG cTSPMsg " + std::string(cLogBuf::kMaxLine, 'x'), got[0]);
    EXPECT_EQ("DEBUG cTSPMsg " + std::string(10, 'x'), got[1]);
}

// Many threads writing many lines to one stream: every record is exactly one
// writer's whole line, and none is lost or duplicated.
TEST(LogStreamsConcurrency, ConcurrentWritersNeverMixLines)
{
    cLogCapture capture;
    cWlog broker("cBroker");
    const int threads = 6;
    const int lines = 400;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&broker, t] {
            for (int i = 0; i < lines; ++i) {
                if (i % 3 == 0) {
                    broker.mDebug << "writer " << t << " line " << i << " 0x" << std::hex
                                  << 0xabc << " n " << i << std::endl;
                } else if (i % 3 == 1) {
                    // One line built over several statements.
                    broker.mDebug << "writer " << t;
                    broker.mDebug << " line " << i;
                    broker.mDebug << " 0x" << hexText(0xabc) << " n " << i << std::endl;
                } else {
                    broker.mInfo << "writer " << t << " line " << i << " 0xabc n " << i << std::endl;
                }
            }
        });
    }
    for (auto& w : writers)
        w.join();

    std::set<std::string> expected;
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < lines; ++i)
            expected.insert(std::string(i % 3 == 2 ? "INFO" : "DEBUG") + " cBroker writer "
                            + std::to_string(t) + " line " + std::to_string(i) + " 0xabc n "
                            + std::to_string(i));
    Records got = capture.records();
    EXPECT_EQ(static_cast<size_t>(threads * lines), got.size());
    EXPECT_EQ(expected, std::set<std::string>(got.begin(), got.end()));
}

TEST(LogText, NetworkTextShowsControlBytesAsDots)
{
    EXPECT_EQ("re.quest.x.y", printableText("re\nquest\rx\x7fy"));
    EXPECT_EQ("a.b", printableText("a\x01" "b"));
    EXPECT_EQ("..x.", printableText("\xc3\xa9x\x9b")); // nor bytes above ASCII
    EXPECT_EQ("..ab", printableText(std::string("\0\tab", 4).data(), 4));
    EXPECT_EQ("", printableText(nullptr));
    EXPECT_EQ("0", hexText(0));
    EXPECT_EQ("896d572b", hexText(0x896d572bUL));
    EXPECT_EQ("ffffffff", hexText(0xffffffffUL));
}
