#include "tunnelTestSupport.h"

// The table finds tunnels by endpoint and by address without a scan: these
// scenarios change the table and its tunnels in every way the broker does
// and check that look-ups and forwards still give what the table's order
// says.
class TableIndex : public TunnelFramesTest {
protected:
    // A tunnel for the socket's endpoint that ran request and accept.
    cTunnel* established(cTestSocket& s, const std::string& request)
    {
        cTunnel* t = findOrCreateTunnel(s.addr());
        delete receive(*t, request);
        delete receive(*t, wire("accept\0"));
        t->release();
        return t;
    }
    // A tunnel offered again gets no frames for address until it accepts.
    void expectFramesOnlyOnceAccepted(cTunnel* t, cTestSocket& peer, const char* address)
    {
        forward(frameTo(address));
        EXPECT_TRUE(peer.pending().empty());
        delete receive(*t, wire("accept\0"));
        forward(frameTo(address));
        EXPECT_EQ(1u, peer.pending().size());
    }
};

TEST_F(TableIndex, ReaddressedTunnelIsReachedAtItsNewAddressOnly)
{
    cTestSocket peer;
    setUpTunnel(established(peer, wire("request\0tunnelid=5\0")), 6);
    forward(frameTo("2001:db8::5"));
    EXPECT_TRUE(peer.pending().empty());
    forward(frameTo("2001:db8::6"));
    EXPECT_EQ(1u, peer.pending().size());
}

TEST_F(TableIndex, TunnelThatSetsUpAgainGetsNoFramesUntilAccepted)
{
    cTestSocket peer;
    cTunnel* t = established(peer, wire("request\0tunnelid=5\0"));
    // Handed a request directly, as only a test can: it is offered again.
    setUpTunnel(t, 5, false);
    ASSERT_EQ(TUNNEL_OFFERED, t->getState());
    expectFramesOnlyOnceAccepted(t, peer, "2001:db8::5");
}

TEST_F(TableIndex, NewerOfTwoSharingAnAddressGetsFramesAndStaleOnesNone)
{
    cTestSocket older, newer, fresh;
    established(older, wire("request\0"));
    established(newer, wire("request\0"));
    // Both carry the address of identifier 9; the newer one stands in front.
    for (cTunnel* t : gTunnels)
        readdress(t, 9);
    forward(frameTo("2001:db8::9"));
    EXPECT_EQ(1u, newer.pending().size());
    EXPECT_TRUE(older.pending().empty());

    // A client presenting identifier 9 from a third endpoint removes both as
    // stale; until it is accepted, nobody gets frames for that address.
    cTunnel* third = findOrCreateTunnel(fresh.addr());
    delete receive(*third, wire("request\0tunnelid=9\0"));
    third->release();
    EXPECT_EQ(std::list<cTunnel*>{third}, gTunnels);
    expectFramesOnlyOnceAccepted(third, fresh, "2001:db8::9");
}

TEST_F(TableIndex, ClearedTableStartsOverEmpty)
{
    cTestSocket peer;
    established(peer, wire("request\0tunnelid=5\0"));
    resetTunnelTable();
    forward(frameTo("2001:db8::5"));
    EXPECT_TRUE(peer.pending().empty());
    tunnelRecords();
    findOrCreateTunnel(peer.addr());
    EXPECT_EQ(Records{"DEBUG cTunnel Making brand new tunnel.."}, tunnelRecords());
}

TEST_F(TableIndex, ManyTunnelsEachFoundByEndpointAndAddress)
{
    const int count = 500;
    std::vector<cTunnel*> made;
    for (int i = 0; i < count; ++i) {
        cTunnel* t = findOrCreateTunnel(endpoint("198.51.100.7", static_cast<unsigned short>(2000 + i)));
        made.push_back(setUpTunnel(t, static_cast<unsigned>(0x100 + i)));
    }
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(made[static_cast<size_t>(i)],
                  gTunnels.findByPeer(endpoint("198.51.100.7", static_cast<unsigned short>(2000 + i))));
    in6_addr address = ip6("2001:db8::1f3");
    EXPECT_EQ(made[0x1f3 - 0x100], gTunnels.findEstablished(address.s6_addr));
    EXPECT_EQ(nullptr, gTunnels.findByPeer(endpoint("198.51.100.7", 1999)));
}
