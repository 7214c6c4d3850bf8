// Pacing of setup replies per source address: the limiter alone, with time
// passed in, and the UDP worker holding back offers to a flooding address.
#include "brokerHarness.h"

#include "broker/cSetupLimiter.h"

#include <memory>

namespace {

const long long kMs = 1000000LL;
const long long kStart = 1000 * kMs;

// How many of count replies at one instant are let go.
int allowedOf(cSetupLimiter& limiter, uint32_t addr, long long now, int count)
{
    int allowed = 0;
    for (int i = 0; i < count; ++i)
        allowed += limiter.allow(addr, now) ? 1 : 0;
    return allowed;
}

} // namespace

class SetupLimiter : public testing::Test {
protected:
    cSetupLimiter mLimiter{20, 5, 0x5eed};
    const uint32_t mA = endpoint("192.0.2.1", 0).sin_addr.s_addr;
    const uint32_t mB = endpoint("192.0.2.2", 0).sin_addr.s_addr;
};

TEST_F(SetupLimiter, BurstThenSteadyRate)
{
    EXPECT_EQ(5, allowedOf(mLimiter, mA, kStart, 10));
    EXPECT_FALSE(mLimiter.allow(mA, kStart + 49 * kMs));
    EXPECT_TRUE(mLimiter.allow(mA, kStart + 50 * kMs));
    EXPECT_FALSE(mLimiter.allow(mA, kStart + 50 * kMs));
}

TEST_F(SetupLimiter, TimeGoingForwardRefillsUpToTheBurstOnly)
{
    EXPECT_EQ(5, allowedOf(mLimiter, mA, kStart, 5));
    EXPECT_EQ(5, allowedOf(mLimiter, mA, kStart + 10000 * kMs, 20));
}

TEST_F(SetupLimiter, EachAddressHasItsOwnBucket)
{
    EXPECT_EQ(5, allowedOf(mLimiter, mA, kStart, 10));
    EXPECT_EQ(5, allowedOf(mLimiter, mB, kStart, 10));
    EXPECT_EQ(2, mLimiter.tracked());
}

TEST_F(SetupLimiter, ZeroRateLetsEverythingGo)
{
    cSetupLimiter off(0, 5, 0x5eed);
    EXPECT_EQ(1000, allowedOf(off, mA, kStart, 1000));
    EXPECT_EQ(0, off.tracked());
}

TEST_F(SetupLimiter, NormalClientsAndBusyNatsNeverNotice)
{
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(mLimiter.allow(mA, kStart + i * 10000 * kMs)) << "retry " << i;
    // Nineteen clients behind one address, each asking once a second.
    const long long spacing = 1000 * kMs / 19;
    for (int i = 0; i < 190; ++i)
        ASSERT_TRUE(mLimiter.allow(mB, kStart + i * spacing)) << "request " << i;
}

TEST_F(SetupLimiter, ManyAddressesStayInFixedMemoryAndHeldBackAddressStaysHeld)
{
    EXPECT_EQ(5, allowedOf(mLimiter, mA, kStart, 5));
    // 100000 other addresses (10.x.y.z), each asking once at the same instant.
    for (uint32_t i = 1; i <= 100000; ++i)
        mLimiter.allow(htonl(0x0a000000u + i), kStart);
    EXPECT_EQ(cSetupLimiter::kSlots, mLimiter.tracked());
    EXPECT_FALSE(mLimiter.allow(mA, kStart));
    EXPECT_EQ(5, allowedOf(mLimiter, mB, kStart, 10));
}

// The UDP worker with the limiter: the exchange runs, the reply waits.
class SetupFlood : public cBrokerHarness {
protected:
    // count new peers at one instant, each asking for a tunnel of a derived
    // identifier and, when blind, accepting without waiting for the offer.
    void flood(int count, bool blind)
    {
        for (int i = 0; i < count; ++i) {
            mPeers.emplace_back(new cTestSocket);
            fromPeer(tspBytes({"request", "tunnelid=0"}), mPeers.back()->addr());
            if (blind)
                fromPeer(tspBytes({"accept"}), mPeers.back()->addr());
        }
    }

    std::vector<std::unique_ptr<cTestSocket>> mPeers;
};

TEST_F(SetupFlood, OneAddressGetsOnlyTheBurstWhileEveryTunnelIsOffered)
{
    // One token a second, and every request at one instant: only the burst
    // reaches the peers.
    configure("quib.broker.setuprate = 1\n");
    flood(12, false);

    for (int i = 0; i < 5; ++i)
        EXPECT_EQ("offer", sentTo(*mPeers[i]).substr(0, 5)) << "peer " << i;
    for (int i = 5; i < 12; ++i)
        EXPECT_EQ("<none>", sentTo(*mPeers[i])) << "peer " << i;

    auto records = mLog.records();
    EXPECT_EQ(5, countStartingWith(records, "INFO cBroker Config msg from 127.0.0.1:"));
    EXPECT_EQ(7, countStartingWith(records, "DEBUG cBroker Setup rate exceeded, offer to 127.0.0.1:"));
    EXPECT_TRUE(has(records, "DEBUG cBroker Setup rate exceeded, offer to " + mPeers[5]->endpoint() + " held back"));
    // The first one held back is reported at once; the rest wait 10 s.
    EXPECT_EQ(1, countStartingWith(records, "INFO cBroker Setup rate exceeded: "));
    EXPECT_TRUE(has(records, "INFO cBroker Setup rate exceeded: 1 offers held back since the last report"));
    EXPECT_EQ(7u, mMode->heldOffers());
    // A quiet worker still lets the pending summary out, once it is due.
    mMode->flushReports(kNow + 9 * kSecond);
    EXPECT_EQ(Records(), mLog.records());
    mMode->flushReports(kNow + 10 * kSecond);
    EXPECT_EQ(Records{"INFO cBroker Setup rate exceeded: 6 offers held back since the last report"},
              mLog.records());
    mMode->flushReports(kNow + 30 * kSecond);
    EXPECT_EQ(Records(), mLog.records());
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    ASSERT_EQ(12u, gTunnels.size());
    for (cTunnel* t : gTunnels)
        EXPECT_EQ(TUNNEL_OFFERED, t->getState());
}

TEST_F(SetupFlood, BlindAcceptBehindHeldBackOfferEstablishesButDoesNotProtect)
{
    configure("quib.broker.setuprate = 1\nquib.broker.maxtunnels = 6\n");
    flood(6, true);
    cTunnel* blind = tunnelOf(*mPeers[5]);
    EXPECT_TRUE(blind->isEstablished());
    EXPECT_FALSE(blind->hasCompleted());
    EXPECT_TRUE(tunnelOf(*mPeers[4])->hasCompleted());

    cTestSocket client;
    fromPeer("hello", client.addr());
    EXPECT_NE(nullptr, tunnelOf(client));
    EXPECT_EQ(nullptr, tunnelOf(*mPeers[5]));
    EXPECT_TRUE(has(mLog.records(), "DEBUG cTunnel Tunnel table full, evicting unfinished tunnel of " + mPeers[5]->endpoint()));
}
