#include "tunnelTestSupport.h"

#include "log/logText.h"

namespace {

const std::string kRequest = wire("request\0tunnelid=7\0keepalive=30\0");
const std::string kOffer = exampleOffer();
const std::string kAccept = wire("accept\0");

} // namespace

// The broker's side: requests are offered, accepts establish, offers ignored.
class BrokerExchange : public TunnelTest {
protected:
    void SetUp() override { setSharedPrefix(ip6("2001:db8::"), 64); }
    // The offered values, read back by parsing the reply.
    void expectOffer(cTSPMsg* reply, unsigned id, unsigned keepalive)
    {
        std::string bytes = bytesOf(reply);
        std::string tag = "keepalive=" + std::to_string(keepalive) + '\0';
        EXPECT_EQ(bytes.size() - tag.size(), bytes.find(tag)) << "keepalive tag ends the offer";
        cTSPMsg parsed(&bytes[0], static_cast<int>(bytes.size()));
        EXPECT_EQ(TSP_OFFER, parsed.getType());
        EXPECT_EQ(id, parsed.getTunnelId());
        EXPECT_EQ(keepalive, parsed.getKeepalive());
        delete reply;
    }
    cTunnel* mTunnel = findOrCreateTunnel(endpoint("192.0.2.1", 5000));
};

TEST_F(BrokerExchange, RequestIsAnsweredWithOfferBytesAndDropsStaleTunnel)
{
    ASSERT_EQ(87u, kOffer.size());
    // Identifier 7 at another endpoint: the request drops that tunnel as stale.
    setUpTunnel(findOrCreateTunnel(endpoint("192.0.2.2", 7000)), 7, false);
    for (int round = 0; round < 2; ++round) {
        cTSPMsg* reply = receive(*mTunnel, kRequest);
        EXPECT_EQ(kOffer, bytesOf(reply));
        delete reply;
        EXPECT_EQ(TUNNEL_OFFERED, mTunnel->getState());
        EXPECT_EQ(30u, mTunnel->getKeepalive());
        EXPECT_EQ("2001:db8::7", ip6Text(mTunnel->getAddr()));
    }
    EXPECT_EQ(std::list<cTunnel*>{mTunnel}, gTunnels);
}

TEST_F(BrokerExchange, KeepaliveIsRaisedToTheBrokerFloor)
{
    setSharedKeepalive(30);
    expectOffer(receive(*mTunnel, wire("request\0tunnelid=0\0")), 0x896d572b, 30);
    EXPECT_EQ(0x896d572bu, mTunnel->getId());
    EXPECT_EQ(30u, mTunnel->getKeepalive());

    expectOffer(receive(*mTunnel, wire("request\0tunnelid=5\0keepalive=60\0")), 5, 60);
    EXPECT_EQ(60u, mTunnel->getKeepalive());
    expectOffer(receive(*mTunnel, wire("request\0tunnelid=5\0keepalive=10\0")), 5, 30);
    EXPECT_EQ(30u, mTunnel->getKeepalive());

    setSharedKeepalive(0);
    expectOffer(receive(*mTunnel, wire("request\0")), 0x896d572b, 0);
}

TEST_F(BrokerExchange, AnAcceptEstablishesWithoutReplyOnEitherSide)
{
    // The exchange does not look at the mode: only offers depend on the side.
    cTunnel client(0);
    for (cTunnel* t : {mTunnel, &client}) {
        EXPECT_EQ(nullptr, receive(*t, kAccept));
        EXPECT_TRUE(t->isEstablished());
        EXPECT_EQ(TUNNEL_ESTABLISHED, t->getState());
    }
}

TEST_F(BrokerExchange, OfferAndUnknownTypesChangeNothing)
{
    for (const std::string& msg : {kOffer, wire("hello\0tunnelid=9\0")}) {
        EXPECT_EQ(nullptr, receive(*mTunnel, msg));
        EXPECT_EQ(TUNNEL_NEW, mTunnel->getState());
        EXPECT_EQ(0u, mTunnel->getId());
        EXPECT_EQ("::", ip6Text(mTunnel->getAddr()));
        EXPECT_EQ("2001:db8::", ip6Text(&gIp6Prefix));
        EXPECT_EQ(64, getSharedPrefixLen());
    }
    for (const std::string& r : tunnelRecords())
        EXPECT_NE(0u, r.rfind("INFO", 0)) << r;
}

// No tunnel gets the broker's own address or the prefix's anycast address:
// presented, it is handled as 0; derived, the derivation goes on.
TEST_F(BrokerExchange, ReservedAddressesAreNeverOffered)
{
    struct {
        const char* prefix;
        int length;
        unsigned presented;
    } cases[] = {{"2001:db8::", 64, 1}, {"2001:db8::aabb:cc00", 120, 0xaabbcc01},
                 {"2001:db8::aabb:cc00", 120, 0xaabbcc00}};
    for (const auto& c : cases) {
        setSharedPrefix(ip6(c.prefix), c.length);
        expectOffer(receive(*mTunnel, tspBytes({"request", "tunnelid=" + std::to_string(c.presented)})),
                    0x896d572b, 0);
        EXPECT_TRUE(has(tunnelRecords(), "INFO cTunnel Identifier 0x" + hexText(c.presented)
                                             + " names an address no tunnel may have, handled as 0"));
    }
    // This endpoint's own identifier (0x896d572b) is the /128 prefix itself.
    setSharedPrefix(ip6("2001:db8::896d:572b"), 128);
    delete receive(*mTunnel, wire("request\0tunnelid=0\0"));
    EXPECT_NE(0x896d572bu, mTunnel->getId());
    EXPECT_FALSE(identifierReserved(mTunnel->getId()));
}

// The client's own tunnel: builds requests and accepts offers.
class ClientExchange : public TunnelTest {
protected:
    cTunnel mTunnel{0};
};

TEST_F(ClientExchange, RequestCarriesIdAndOptionalKeepalive)
{
    cTSPMsg* bare = mTunnel.makeRequest();
    EXPECT_EQ(wire("request\0tunnelid=0\0"), bytesOf(bare));
    delete bare;
    mTunnel.setId(7);
    mTunnel.setKeepalive(30);
    cTSPMsg* full = mTunnel.makeRequest();
    EXPECT_EQ(32u, kRequest.size());
    EXPECT_EQ(kRequest, bytesOf(full));
    delete full;
}

TEST_F(ClientExchange, OfferIsTakenAndAccepted)
{
    cTSPMsg* reply = receive(mTunnel, kOffer);
    EXPECT_EQ(kAccept, bytesOf(reply));
    delete reply;
    EXPECT_TRUE(mTunnel.isEstablished());
    EXPECT_EQ(7u, mTunnel.getId());
    EXPECT_EQ(30u, mTunnel.getKeepalive());
    EXPECT_EQ("2001:db8::7", ip6Text(mTunnel.getAddr()));
    EXPECT_EQ("2001:db8::", ip6Text(&gIp6Prefix));
    EXPECT_EQ(64, getSharedPrefixLen());
    EXPECT_EQ(Records{"INFO cTunnel Offered Tunnel Addr '2001:db8::7/64'"}, tunnelRecords());
}

TEST_F(ClientExchange, PrefixLengthKeepsItsLowEightBits)
{
    delete receive(mTunnel, wire("offer\0tunnelid=7\0ip6prefixlen=300\0ip6addr=2001:db8::7\0"));
    EXPECT_EQ(44, getSharedPrefixLen());
    EXPECT_EQ(Records{"INFO cTunnel Offered Tunnel Addr '2001:db8::7/44'"}, tunnelRecords());
}
