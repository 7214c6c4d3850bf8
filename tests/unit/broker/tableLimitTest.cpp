// The table's limit at the UDP worker: which tunnel gives way to a new
// endpoint, when the new endpoint is turned away instead, and the summaries
// of both.
#include "brokerHarness.h"

#include <list>

namespace {

const std::string kRequest = tspBytes({"request", "tunnelid=0"});
const std::string kSummary = "INFO cTunnel Tunnel table at its limit of ";

} // namespace

class TableLimit : public cBrokerHarness {
protected:
    void limit(int tunnels) { configure("quib.broker.maxtunnels = " + std::to_string(tunnels) + "\n"); }

    // One datagram; the sender's tunnel afterwards, or null.
    cTunnel* pass(const cTestSocket& from, const std::string& bytes, long long now = kNow)
    {
        fromPeer(bytes, from.addr(), now);
        return tunnelOf(from);
    }
};

TEST_F(TableLimit, FullOfCompletedTunnelsDropsNewEndpointButFindsKnownOnes)
{
    limit(3);
    cTestSocket a, b, c, stranger, again;
    cTunnel* ta = establish(a, "0");
    cTunnel* tb = establish(b, "0");
    cTunnel* tc = establish(c, "0");

    EXPECT_EQ(nullptr, pass(stranger, kRequest));
    EXPECT_EQ("<none>", sentTo(stranger));
    Records records = mLog.records();
    EXPECT_TRUE(inOrder(records, {"DEBUG cBroker Got 19 bytes from the UDP Q",
                                  "DEBUG cTunnel Tunnel table full, dropping datagram from " + stranger.endpoint()}));
    EXPECT_FALSE(anyStartsWith(records, "ERROR "));
    EXPECT_FALSE(anyStartsWith(records, "INFO cBroker Config msg from "));
    EXPECT_EQ((Records{"DEBUG cTunnel Tunnel table full, dropping datagram from " + stranger.endpoint(),
                       kSummary + "3: 0 unfinished tunnels evicted, "
                                  "1 datagrams from new endpoints dropped since the last report"}),
              cLogCapture::ofCategory(records, "cTunnel"));
    EXPECT_EQ((std::list<cTunnel*>{tc, tb, ta}), gTunnels);

    // Within the report interval a refusal is one debug line only.
    EXPECT_EQ(nullptr, pass(again, "hello"));
    EXPECT_EQ(Records{"DEBUG cTunnel Tunnel table full, dropping datagram from " + again.endpoint()},
              tunnelRecords());

    // A client that completed its setup carries on.
    fromPeer(keepaliveBytes(), a.addr());
    EXPECT_EQ(keepaliveBytes(), sentTo(a));
    EXPECT_EQ(Records{"DEBUG cTunnel Found tunnel.."}, tunnelRecords());
    EXPECT_EQ((std::list<cTunnel*>{tc, tb, ta}), gTunnels);
    EXPECT_EQ(0, ta->getRefCount());
    EXPECT_EQ(2u, mMode->refusedEndpoints());
}

TEST_F(TableLimit, OldestUnheldUnfinishedTunnelGivesWay)
{
    limit(4);
    cTestSocket first, second, third, fourth, fifth, sixth;
    cTunnel* held = pass(first, kRequest);
    held->addRef();
    pass(second, kRequest);
    cTunnel* garbage = pass(third, "hello");
    cTunnel* done = establish(fourth, "0");

    cTunnel* fresh = pass(fifth, "hello");
    ASSERT_NE(nullptr, fresh);
    // The pass gave its hold back.
    EXPECT_EQ(0, fresh->getRefCount());
    EXPECT_EQ((std::list<cTunnel*>{fresh, done, garbage, held}), gTunnels);
    EXPECT_EQ((Records{"DEBUG cTunnel Tunnel table full, evicting unfinished tunnel of " + second.endpoint(),
                       "DEBUG cTunnel Making brand new tunnel..",
                       kSummary + "4: 1 unfinished tunnels evicted, "
                                  "0 datagrams from new endpoints dropped since the last report"}),
              tunnelRecords());

    cTunnel* next = pass(sixth, "hello");
    EXPECT_EQ((std::list<cTunnel*>{next, fresh, done, held}), gTunnels);
    EXPECT_EQ((Records{"DEBUG cTunnel Tunnel table full, evicting unfinished tunnel of " + third.endpoint(),
                       "DEBUG cTunnel Making brand new tunnel.."}),
              tunnelRecords());
}

TEST_F(TableLimit, BareAcceptEstablishesButDoesNotProtect)
{
    limit(2);
    cTestSocket one, two, three;
    cTunnel* bare = pass(one, tspBytes({"accept"}));
    cTunnel* done = establish(two, "0");
    EXPECT_TRUE(bare->isEstablished());
    EXPECT_FALSE(bare->hasCompleted());
    EXPECT_TRUE(done->hasCompleted());

    cTunnel* fresh = pass(three, "hello");
    EXPECT_EQ((std::list<cTunnel*>{fresh, done}), gTunnels);
}

TEST_F(TableLimit, HeldTunnelsAreNeverEvicted)
{
    limit(2);
    cTestSocket one, two, three;
    cTunnel* a = pass(one, "hello");
    a->addRef();
    cTunnel* b = pass(two, "hello");
    b->addRef();
    EXPECT_EQ(nullptr, pass(three, "hello"));
    EXPECT_EQ((std::list<cTunnel*>{b, a}), gTunnels);
}

TEST_F(TableLimit, ReturningClientTakesTheSlotOfItsStaleTunnel)
{
    limit(3);
    cTestSocket before, unfinished, other, after;
    establish(before, "7");
    cTunnel* waiting = pass(unfinished, "hello");
    cTunnel* kept = establish(other, "0");

    cTunnel* back = pass(after, tspBytes({"request", "tunnelid=7"}));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(nullptr, tunnelOf(before));
    EXPECT_EQ((std::list<cTunnel*>{back, kept, waiting}), gTunnels);
    Records records = tunnelRecords();
    ASSERT_LE(2u, records.size());
    EXPECT_EQ((Records{"DEBUG cTunnel Removing stale tunnel 0x7", "DEBUG cTunnel Making brand new tunnel.."}),
              Records(records.begin(), records.begin() + 2));
    EXPECT_FALSE(anyStartsWith(records, "DEBUG cTunnel Tunnel table full, "));
}

TEST_F(TableLimit, CompletedClientSilentBeyondItsKeepaliveGivesWay)
{
    limit(2);
    cTestSocket talking, gone, client;
    cTunnel* kept = establish(talking, "0");
    establish(gone, "0");
    fromPeer(keepaliveBytes(), talking.addr(), kNow + 20 * kSecond);
    // Keepalive 30: silent for 30 s is not yet gone.
    EXPECT_EQ(nullptr, pass(client, kRequest, kNow + 30 * kSecond));
    cTunnel* fresh = pass(client, kRequest, kNow + 31 * kSecond);
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ((std::list<cTunnel*>{fresh, kept}), gTunnels);
    EXPECT_TRUE(has(tunnelRecords(), "DEBUG cTunnel Tunnel table full, evicting silent tunnel of " + gone.endpoint()));
    EXPECT_EQ(1u, mMode->evictedTunnels());
}

TEST_F(TableLimit, AbandonedSetupGoesFirstThenSilentClientThenYoungSetup)
{
    limit(3);
    cTestSocket abandoned, silent, young, n1, n2, n3;
    pass(abandoned, kRequest);
    establish(silent, "0");
    pass(young, kRequest, kNow + 35 * kSecond);
    // At +36 the silent client is overdue too, yet the setup nobody took up
    // 36 s ago goes first; at +38 the setup from +35 is the only one left.
    pass(n1, "hello", kNow + 36 * kSecond);
    pass(n2, "hello", kNow + 37 * kSecond);
    pass(n3, "hello", kNow + 38 * kSecond);
    mMode->flushReports(kNow + 46 * kSecond);
    Records records = tunnelRecords();
    const std::string evicting = "DEBUG cTunnel Tunnel table full, evicting ";
    EXPECT_EQ(3, countStartingWith(records, evicting));
    EXPECT_TRUE(inOrder(records, {evicting + "unfinished tunnel of " + abandoned.endpoint(),
                                  evicting + "silent tunnel of " + silent.endpoint(),
                                  evicting + "unfinished tunnel of " + young.endpoint()}));
    EXPECT_TRUE(has(records, kSummary + "3: 2 unfinished tunnels evicted, "
                                        "0 datagrams from new endpoints dropped since the last report"));
}

TEST_F(TableLimit, EvictedEndpointComesBackAsBrandNewTunnel)
{
    limit(2);
    cTestSocket a, b, c;
    pass(a, "hello");
    pass(b, "hello");
    // The table is full: the third endpoint evicts the oldest, a.
    pass(c, "hello");
    tunnelRecords();
    cTunnel* back = pass(a, "hello");
    ASSERT_NE(nullptr, back);
    EXPECT_EQ((Records{"DEBUG cTunnel Tunnel table full, evicting unfinished tunnel of " + b.endpoint(),
                       "DEBUG cTunnel Making brand new tunnel.."}),
              tunnelRecords());
    EXPECT_EQ(2u, gTunnels.size());
    EXPECT_EQ(back, gTunnels.front());
}

TEST_F(TableLimit, SummaryAtOnceThenAtMostOncePerIntervalAlsoWhenQuiet)
{
    limit(1);
    cTestSocket first, client, stranger;
    mMode->flushReports(kNow);
    EXPECT_EQ(Records(), mLog.records());

    pass(first, "hello");
    pass(client, kRequest);
    EXPECT_TRUE(has(mLog.records(), kSummary + "1: 1 unfinished tunnels evicted, "
                                               "0 datagrams from new endpoints dropped since the last report"));
    pass(client, tspBytes({"accept"}));

    pass(stranger, "hello", kNow + 9 * kSecond);
    pass(stranger, "hello", kNow + 9 * kSecond);
    EXPECT_FALSE(anyStartsWith(mLog.records(), kSummary));
    // No datagram comes; the worker's quiet spell lets the summary out.
    mMode->flushReports(kNow + 10 * kSecond);
    EXPECT_EQ(Records{kSummary + "1: 0 unfinished tunnels evicted, "
                                 "2 datagrams from new endpoints dropped since the last report"},
              mLog.records());
    mMode->flushReports(kNow + 400 * kSecond);
    EXPECT_EQ(Records(), mLog.records());
    EXPECT_EQ(1u, mMode->evictedTunnels());
    EXPECT_EQ(2u, mMode->refusedEndpoints());
}
