#include "tunnelTestSupport.h"

#include <algorithm>

// The table's limit: which tunnel gives way to a new endpoint, and when the
// new endpoint is turned away instead.
class TableLimit : public BoundedTableTest {
protected:
    void SetUp() override
    {
        BoundedTableTest::SetUp();
        gMaxTunnels = 3;
    }

    // One pass of the UDP worker: look-up, the datagram, release.
    cTunnel* pass(const char* ip, unsigned short port, const std::string& bytes)
    {
        cTunnel* t = findOrAdmitTunnel(endpoint(ip, port));
        if (t != nullptr) {
            delete receive(*t, bytes);
            t->release();
        }
        return t;
    }
    // Request, offer, accept: the whole exchange.
    cTunnel* completed(const char* ip, const std::string& request = wire("request\0tunnelid=0\0"))
    {
        pass(ip, 5000, request);
        return pass(ip, 5000, wire("accept\0"));
    }
};

TEST_F(TableLimit, FullOfCompletedTunnelsDropsNewEndpointButFindsKnownOnes)
{
    cTunnel* a = completed("192.0.2.1");
    cTunnel* b = completed("192.0.2.2");
    cTunnel* c = completed("192.0.2.3");
    tunnelRecords();

    EXPECT_EQ(nullptr, findOrAdmitTunnel(endpoint("198.51.100.9", 6000)));
    EXPECT_EQ((std::list<cTunnel*>{c, b, a}), gTunnels);
    EXPECT_EQ((Records{"DEBUG cTunnel Tunnel table full, dropping datagram from 198.51.100.9:6000",
                       "INFO cTunnel Tunnel table at its limit of 3: 0 unfinished tunnels evicted, "
                       "1 datagrams from new endpoints dropped since the last report"}),
              tunnelRecords());

    // Within the report interval a refusal is one debug line only.
    EXPECT_EQ(nullptr, findOrAdmitTunnel(endpoint("198.51.100.9", 6001)));
    EXPECT_EQ(Records{"DEBUG cTunnel Tunnel table full, dropping datagram from 198.51.100.9:6001"},
              tunnelRecords());

    cTunnel* again = findOrAdmitTunnel(endpoint("192.0.2.1", 5000));
    EXPECT_EQ(a, again);
    EXPECT_EQ(1, a->getRefCount());
    EXPECT_EQ(Records{"DEBUG cTunnel Found tunnel.."}, tunnelRecords());
    EXPECT_EQ(2u, gTunnelLimitTally.total(1));
}

TEST_F(TableLimit, OldestUnheldUnfinishedTunnelGivesWay)
{
    gMaxTunnels = 4;
    cTunnel* held = pass("192.0.2.1", 5000, wire("request\0tunnelid=0\0"));
    held->addRef();
    pass("192.0.2.2", 5000, wire("request\0tunnelid=0\0"));
    cTunnel* garbage = pass("192.0.2.3", 5000, wire("hello"));
    cTunnel* done = completed("192.0.2.4");
    tunnelRecords();

    cTunnel* fresh = findOrAdmitTunnel(endpoint("198.51.100.1", 6000));
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ(1, fresh->getRefCount());
    EXPECT_EQ((std::list<cTunnel*>{fresh, done, garbage, held}), gTunnels);
    EXPECT_EQ((Records{"DEBUG cTunnel Tunnel table full, evicting unfinished tunnel of 192.0.2.2:5000",
                       "DEBUG cTunnel Making brand new tunnel..",
                       "INFO cTunnel Tunnel table at its limit of 4: 1 unfinished tunnels evicted, "
                       "0 datagrams from new endpoints dropped since the last report"}),
              tunnelRecords());

    fresh->release();
    cTunnel* next = findOrAdmitTunnel(endpoint("198.51.100.1", 6001));
    EXPECT_EQ((std::list<cTunnel*>{next, fresh, done, held}), gTunnels);
    EXPECT_EQ((Records{"DEBUG cTunnel Tunnel table full, evicting unfinished tunnel of 192.0.2.3:5000",
                       "DEBUG cTunnel Making brand new tunnel.."}),
              tunnelRecords());
}

TEST_F(TableLimit, BareAcceptEstablishesButDoesNotProtect)
{
    gMaxTunnels = 2;
    cTunnel* bare = pass("192.0.2.1", 5000, wire("accept\0"));
    cTunnel* done = completed("192.0.2.2");
    EXPECT_TRUE(bare->isEstablished());
    EXPECT_FALSE(bare->hasCompleted());
    EXPECT_TRUE(done->hasCompleted());

    cTunnel* fresh = findOrAdmitTunnel(endpoint("198.51.100.1", 6000));
    EXPECT_EQ((std::list<cTunnel*>{fresh, done}), gTunnels);
}

TEST_F(TableLimit, HeldTunnelsAreNeverEvicted)
{
    gMaxTunnels = 2;
    cTunnel* a = findOrAdmitTunnel(endpoint("192.0.2.1", 5000));
    cTunnel* b = findOrAdmitTunnel(endpoint("192.0.2.2", 5000));
    EXPECT_EQ(nullptr, findOrAdmitTunnel(endpoint("198.51.100.1", 6000)));
    EXPECT_EQ((std::list<cTunnel*>{b, a}), gTunnels);
}

TEST_F(TableLimit, ReturningClientMakesRoomAndStillDropsItsStaleTunnel)
{
    cTunnel* old = completed("192.0.2.1", wire("request\0tunnelid=7\0"));
    pass("192.0.2.2", 5000, wire("hello"));
    cTunnel* other = completed("192.0.2.3");
    tunnelRecords();

    cTunnel* back = pass("192.0.2.1", 5001, wire("request\0tunnelid=7\0"));
    ASSERT_NE(nullptr, back);
    EXPECT_NE(old, back);
    EXPECT_EQ((std::list<cTunnel*>{back, other}), gTunnels);
    Records records = tunnelRecords();
    ASSERT_LE(3u, records.size());
    EXPECT_EQ((Records{"DEBUG cTunnel Tunnel table full, evicting unfinished tunnel of 192.0.2.2:5000",
                       "DEBUG cTunnel Making brand new tunnel.."}),
              Records(records.begin(), records.begin() + 2));
    EXPECT_NE(records.end(), std::find(records.begin(), records.end(),
                                       "DEBUG cTunnel Removing stale tunnel 0x7"));
}

// Pacing of the summaries that a flood produces.
class FloodTally : public testing::Test {};

TEST_F(FloodTally, FirstEventAtOnceThenAtMostOncePerInterval)
{
    cFloodTally tally(10);
    unsigned long since[2] = {99, 99};
    EXPECT_FALSE(tally.takeSummary(100, since));

    tally.add(0);
    ASSERT_TRUE(tally.takeSummary(100, since));
    EXPECT_EQ(1u, since[0]);
    EXPECT_EQ(0u, since[1]);

    tally.add(1);
    tally.add(1);
    EXPECT_FALSE(tally.takeSummary(109, since));
    ASSERT_TRUE(tally.takeSummary(110, since));
    EXPECT_EQ(0u, since[0]);
    EXPECT_EQ(2u, since[1]);
    EXPECT_FALSE(tally.takeSummary(500, since));
    EXPECT_EQ(1u, tally.total(0));
    EXPECT_EQ(2u, tally.total(1));
}
