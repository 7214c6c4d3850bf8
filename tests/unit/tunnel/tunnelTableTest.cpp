#include "tunnelTestSupport.h"

// Finding tunnels by endpoint and counting holds.
class TunnelLookup : public TunnelTest {};

TEST_F(TunnelLookup, SameEndpointIsFoundAgainAndNewPortMakesNewestFirstTunnel)
{
    cTunnel* first = findOrCreateTunnel(endpoint("192.0.2.1", 5000));
    cTunnel* again = findOrCreateTunnel(endpoint("192.0.2.1", 5000));
    EXPECT_EQ(first, again);
    EXPECT_EQ(2, first->getRefCount());
    EXPECT_EQ(TUNNEL_NEW, first->getState());

    cTunnel* other = findOrCreateTunnel(endpoint("192.0.2.1", 5001));
    EXPECT_NE(first, other);
    EXPECT_EQ(1, other->getRefCount());
    EXPECT_EQ((std::list<cTunnel*>{other, first}), gTunnels);
    EXPECT_EQ((Records{"DEBUG cTunnel Making brand new tunnel..", "DEBUG cTunnel Found tunnel..",
                       "DEBUG cTunnel Making brand new tunnel.."}),
              tunnelRecords());
}

TEST_F(TunnelLookup, ReleaseBelowZeroIsReportedAndChangesNothing)
{
    cTunnel* t = findOrCreateTunnel(endpoint("192.0.2.1", 5000));
    t->release();
    EXPECT_EQ(0, t->getRefCount());
    tunnelRecords();
    t->release();
    EXPECT_EQ(0, t->getRefCount());
    EXPECT_EQ(Records{"ERROR cTunnel Somebody is double releasing here"}, tunnelRecords());
    EXPECT_EQ(std::list<cTunnel*>{t}, gTunnels);
}

// A client that presents its identifier from a new endpoint drops the old ones.
class StaleRemoval : public TunnelTest {};

TEST_F(StaleRemoval, AdjacentStaleTunnelsGoOthersStay)
{
    cTunnel* current = findOrCreateTunnel(endpoint("192.0.2.1", 5000));
    cTunnel* oldA = findOrCreateTunnel(endpoint("192.0.2.2", 5000));
    cTunnel* oldB = findOrCreateTunnel(endpoint("192.0.2.3", 5000));
    cTunnel* unrelated = setUpTunnel(findOrCreateTunnel(endpoint("192.0.2.4", 5000)), 8);
    for (cTunnel* t : {current, oldA, oldB})
        readdress(t, 0x7ab);
    tunnelRecords();

    removeStaleTunnels(current);
    EXPECT_EQ((std::list<cTunnel*>{unrelated, current}), gTunnels);
    EXPECT_EQ((Records{"DEBUG cTunnel Removing stale tunnel 0x7ab",
                       "DEBUG cTunnel Removing stale tunnel 0x7ab"}),
              tunnelRecords());
}

TEST_F(StaleRemoval, IdentifierZeroRemovesNothing)
{
    cTunnel* current = findOrCreateTunnel(endpoint("192.0.2.1", 5000));
    cTunnel* other = findOrCreateTunnel(endpoint("192.0.2.2", 5000));
    removeStaleTunnels(current);
    EXPECT_EQ((std::list<cTunnel*>{other, current}), gTunnels);
}

// Sending frames to tunnels whose peers are real loopback sockets.
class TunnelSends : public TunnelFramesTest {
protected:
    cTunnel* peerTunnel(cTestSocket& s, unsigned id, bool established)
    {
        return setUpTunnel(findOrCreateTunnel(s.addr()), id, established);
    }
};

TEST_F(TunnelSends, BroadcastReachesOnlyEstablishedTunnelsAndCountsInDecimal)
{
    cTestSocket fresh, offered, estA, estB;
    findOrCreateTunnel(fresh.addr());
    delete receive(*findOrCreateTunnel(offered.addr()), wire("request\0"));
    // estA's request drops a stale tunnel of its identifier, logged in hexadecimal.
    setUpTunnel(findOrCreateTunnel(endpoint("192.0.2.9", 5000)), 0xabc, false);
    peerTunnel(estA, 0xabc, true);
    peerTunnel(estB, 4, true);
    Records setup = tunnelRecords();
    ASSERT_TRUE(has(setup, "DEBUG cTunnel Removing stale tunnel 0xabc"));

    std::string frame = frameTo("2001:db8::99", 1280);
    sendToAllTunnels(mSender.fd(), frame.data(), static_cast<int>(frame.size()));
    EXPECT_TRUE(fresh.pending().empty());
    EXPECT_TRUE(offered.pending().empty());
    EXPECT_EQ(std::vector<std::string>{frame}, estA.pending());
    EXPECT_EQ(std::vector<std::string>{frame}, estB.pending());
    EXPECT_EQ((Records{"DEBUG cTunnel TX 1280 bytes over tunnel",
                       "DEBUG cTunnel TX 1280 bytes over tunnel"}),
              tunnelRecords());
}

TEST_F(TunnelSends, FailedSendIsLoggedAsMinusOne)
{
    cTestSocket peer;
    peerTunnel(peer, 3, true);
    tunnelRecords();
    sendToAllTunnels(-1, "abcd", 4);
    EXPECT_EQ(Records{"DEBUG cTunnel TX -1 bytes over tunnel"}, tunnelRecords());
}

TEST_F(TunnelSends, LocalForwardGoesToFirstMatchOnly)
{
    cTestSocket older, newer, other;
    peerTunnel(older, 0x11, true);
    readdress(peerTunnel(newer, 0x13, true), 0x11);
    peerTunnel(other, 0x12, true);
    tunnelRecords();

    std::string frame = frameTo("2001:db8::11", 100);
    forward(frame);
    EXPECT_EQ(std::vector<std::string>{frame}, newer.pending());
    EXPECT_TRUE(older.pending().empty());
    EXPECT_TRUE(other.pending().empty());
    EXPECT_EQ(Records{"DEBUG cTunnel TX 100 bytes locally forwarded"}, tunnelRecords());
}

TEST_F(TunnelSends, UnmatchedUnestablishedOrShortFramesAreNotForwarded)
{
    cTestSocket peer, pending;
    peerTunnel(peer, 0x11, true);
    peerTunnel(pending, 0x12, false);
    tunnelRecords();

    forward(frameTo("2001:db8::13", 60));
    forward(frameTo("2001:db8::12", 60));
    // The buffer holds a whole matching address; only 43 bytes are the frame.
    std::string cut = frameTo("2001:db8::11", 44);
    forwardToTunnel(mSender.fd(), cut.data(), 43);

    EXPECT_TRUE(peer.pending().empty());
    EXPECT_TRUE(pending.pending().empty());
    EXPECT_TRUE(tunnelRecords().empty());
}
