// Routed prefixes: an identifier's place is stable across tables and the
// file, a full pool gives up only what no live tunnel holds, and a bad
// pool is refused with its reason.
#include "tunnel/cDelegationTable.h"

#include "setupMessages.h"

#include <gtest/gtest.h>

namespace {

const auto kNoneLive = [](uint32_t) { return false; };
const long long kSecond = 1000000000LL;

cDelegationTable pool(const char* text, unsigned len)
{
    cDelegationTable table;
    std::string error;
    EXPECT_TRUE(table.configure(text, len, error)) << error;
    return table;
}

} // namespace

TEST(DelegationTable, AnIdentifierKeepsItsPrefixInAnotherTableAndThroughTheFile)
{
    cDelegationTable first = pool("2001:db8:100::/48", 64);
    auto place = first.placeFor(0xc27f9884, kNoneLive);
    ASSERT_TRUE(place.has_value());
    EXPECT_EQ(0u, first.held());
    const auto* a = first.delegate(0xc27f9884, 100 * kSecond, kNoneLive);
    ASSERT_NE(nullptr, a);
    std::string prefix = first.prefixText(*a);
    EXPECT_EQ(prefix, first.prefixText(*place));
    EXPECT_EQ(0u, prefix.rfind("2001:db8:100:", 0)) << prefix;
    EXPECT_EQ(prefix, first.prefixText(*first.delegate(0xc27f9884, 200 * kSecond, kNoneLive)));
    first.delegate(7, 300, kNoneLive);

    cDelegationTable fresh = pool("2001:db8:100::/48", 64);
    EXPECT_EQ(prefix, fresh.prefixText(*fresh.delegate(0xc27f9884, 1, kNoneLive)));

    cDelegationTable loaded = pool("2001:db8:100::/48", 64);
    // The file counts seconds of the wall clock, here 1000 s ahead.
    EXPECT_EQ(1u, loaded.parse(first.serialize(1000) + "9 2001:db8:200::/64 5\n", 1000));
    ASSERT_EQ(2u, loaded.held());
    EXPECT_EQ(prefix, loaded.prefixText(*loaded.find(0xc27f9884)));
    EXPECT_EQ(200 * kSecond, loaded.find(0xc27f9884)->lastHeard);
    EXPECT_EQ(first.serialize(1000), loaded.serialize(1000));
    EXPECT_NE(std::string::npos, first.serialize(1000).find(" 1200\n"));
    EXPECT_EQ(0xc27f9884u, loaded.holderOf(ip6((prefix.substr(0, prefix.find('/')) + "1").c_str())));
    EXPECT_EQ(0u, loaded.holderOf(ip6("2001:db8:1::1")));
}

TEST(DelegationTable, AFullPoolGivesUpTheOldestThatNoLiveTunnelHolds)
{
    cDelegationTable two = pool("2001:db8:100::/63", 64);
    ASSERT_EQ(2u, two.capacity());
    const auto* a = two.delegate(1, 10, kNoneLive);
    const auto* b = two.delegate(2, 20, kNoneLive);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->index, b->index);
    uint64_t placeOfOne = a->index, placeOfTwo = b->index;
    EXPECT_EQ(nullptr, two.delegate(3, 30, [](uint32_t) { return true; }));
    EXPECT_FALSE(two.placeFor(3, [](uint32_t) { return true; }).has_value());
    const auto* c = two.delegate(3, 30, [](uint32_t id) { return id == 2; });
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(placeOfOne, c->index);
    EXPECT_EQ(nullptr, two.find(1));
    // Heard before 3 was: 2 is now the oldest of those without a tunnel.
    two.heard(2, 5);
    const auto* d = two.delegate(4, 40, [](uint32_t id) { return id == 3; });
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(placeOfTwo, d->index);
    EXPECT_EQ(nullptr, two.find(2));
}

TEST(DelegationTable, ABadPoolIsRefusedWithItsReason)
{
    cDelegationTable table;
    std::string error;
    EXPECT_FALSE(table.configure("2001:db8:100::", 64, error));
    EXPECT_FALSE(table.configure("2001:db8:100::1/48", 64, error));
    EXPECT_NE(std::string::npos, error.find("no bits beyond LEN"));
    EXPECT_FALSE(table.configure("2001:db8:100::/48", 40, error));
    EXPECT_EQ("the delegation length 40 is outside 48 to 64", error);
    EXPECT_FALSE(table.configure("2001:db8:100::/48", 65, error));
    EXPECT_FALSE(table.enabled());
}
