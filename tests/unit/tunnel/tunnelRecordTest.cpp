#include "tunnelTestSupport.h"

#include "log/monotonicClock.h"

// Identifier and address derivation from the shared prefix.
class AddressAssignment : public TunnelTest {};

TEST_F(AddressAssignment, IdentifierFromEndpointCrcAndAddressFromPrefix)
{
    setSharedPrefix(ip6("2001:db8::"), 64);
    cTunnel t(endpoint("192.0.2.1", 5000));
    t.assignAddress();
    EXPECT_EQ(0x896d572bu, t.getId());
    EXPECT_EQ("2001:db8::896d:572b", ip6Text(t.getAddr()));
    EXPECT_EQ((Records{"INFO cTunnel TunnelId: 0x896d572b",
                       "INFO cTunnel Generated: '2001:db8::896d:572b'"}),
              tunnelRecords());
}

TEST_F(AddressAssignment, PresentedIdentifierIsKept)
{
    setSharedPrefix(ip6("2001:db8:0:0:ffff:ffff::"), 64);
    cTunnel t(endpoint("192.0.2.1", 5000));
    t.setId(1);
    t.assignAddress();
    EXPECT_EQ(1u, t.getId());
    EXPECT_EQ("2001:db8::1", ip6Text(t.getAddr()));
    EXPECT_EQ((Records{"INFO cTunnel TunnelId: 0x1", "INFO cTunnel Generated: '2001:db8::1'"}),
              tunnelRecords());
}

TEST_F(AddressAssignment, OnlyWholePrefixBytesAreCopiedAndAtMostSixteen)
{
    const in6_addr ones = ip6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    const struct {
        uint8_t len;
        const char* addr;
    } cases[] = {
        {60, "ffff:ffff:ffff:ff00::11"},
        {120, "ffff:ffff:ffff:ffff:ffff:ffff:0:11"},
        {200, "ffff:ffff:ffff:ffff:ffff:ffff:0:11"},
    };
    for (const auto& c : cases) {
        setSharedPrefix(ones, c.len);
        cTunnel t(endpoint("192.0.2.1", 5000));
        t.setId(0x11);
        t.assignAddress();
        EXPECT_EQ(c.addr, ip6Text(t.getAddr())) << "prefix length " << unsigned(c.len);
        EXPECT_EQ(0x11u, t.getId());
        EXPECT_EQ(TUNNEL_NEW, t.getState());
    }
}

// Ageing: the time is a parameter in nanoseconds, the keepalive whole
// seconds; only a tunnel made for a peer without a time reads the clock.
class TunnelAgeing : public TunnelTest {};

const long long kSecond = kNanosPerSecond;

TEST_F(TunnelAgeing, AliveAtKeepaliveSecondsExpiredOneLater)
{
    cTunnel t(0);
    t.setKeepalive(30);
    t.touch(1000 * kSecond + kSecond / 2);
    EXPECT_FALSE(t.isExpired(1030 * kSecond));
    EXPECT_FALSE(t.isExpired(1031 * kSecond - 1)); // still the 1030th second
    EXPECT_TRUE(t.isExpired(1031 * kSecond));
    cTunnel fresh(endpoint("192.0.2.1", 5000));
    EXPECT_GE(fresh.getLastActivity(), monotonicNanoseconds() - kSecond);
}

TEST_F(TunnelAgeing, ZeroKeepaliveNeverExpiresAndTouchKeepsTime)
{
    cTunnel t(0);
    t.setKeepalive(30);
    t.touch(-1000000 * kSecond);
    t.setKeepalive(0);
    EXPECT_FALSE(t.isExpired(0));
    EXPECT_FALSE(t.isExpired(1000000 * kSecond));
    t.touch(5 * kSecond);
    EXPECT_EQ(-1000000 * kSecond, t.getLastActivity());
}
