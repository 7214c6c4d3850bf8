// The broker's secret file, the tunnel keys derived from it, and what a key
// protects in the setup exchange.
#include "brokerHarness.h"

#include "broker/brokerSecret.h"
#include "tunnel/tunnelKey.h"
#include "tunnel/cDelegationTable.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <sstream>

class BrokerSecret : public testing::Test {
protected:
    // Loads the file; the error line, if any, lands in mErr.
    bool load(unsigned char* secret)
    {
        mErr.str("");
        return loadBrokerSecret(mPath, secret, mErr);
    }

    cTempDir mDir;
    const std::string mPath = mDir.path() + "/broker.key";
    std::ostringstream mErr;
};

TEST_F(BrokerSecret, FirstStartCreatesAPrivateFileThatLaterStartsReadBack)
{
    unsigned char first[kBrokerSecretLen] = {};
    unsigned char again[kBrokerSecretLen] = {};
    ASSERT_TRUE(load(first));
    struct stat st;
    ASSERT_EQ(0, stat(mPath.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(kBrokerSecretLen, st.st_size);
    ASSERT_TRUE(load(again));
    EXPECT_EQ(0, std::memcmp(first, again, kBrokerSecretLen));
    EXPECT_EQ("", mErr.str());

    // Keys depend only on the identifier and the secret.
    setTunnelKeySecret(first);
    std::string key = tunnelKeyFor(0x896d572b);
    EXPECT_EQ(32u, key.size());
    EXPECT_EQ(std::string::npos, key.find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(key, tunnelKeyFor(0x896d572b));
    EXPECT_NE(key, tunnelKeyFor(0x896d572c));
    EXPECT_TRUE(tunnelKeyValid(0x896d572b, key.c_str()));
    EXPECT_FALSE(tunnelKeyValid(0x896d572c, key.c_str()));
    EXPECT_FALSE(tunnelKeyValid(0x896d572b, ""));
}

TEST_F(BrokerSecret, UnusableFilesStopTheStartWithOneLine)
{
    unsigned char secret[kBrokerSecretLen];
    mDir.write("broker.key", std::string(31, 'x'));
    chmod(mPath.c_str(), 0600);
    EXPECT_FALSE(load(secret));
    EXPECT_EQ("Broker key file '" + mPath + "' must hold 32 bytes, not 31. Bailing out\n", mErr.str());

    mDir.write("broker.key", std::string(32, 'x'));
    chmod(mPath.c_str(), 0640);
    EXPECT_FALSE(load(secret));
    EXPECT_EQ("Broker key file '" + mPath
                  + "' can be read by group or others (chmod 600 it). Bailing out\n",
              mErr.str());

    // A missing directory is made, private; a deeper gap stops the start.
    std::string made = mDir.path() + "/state/broker.key";
    EXPECT_TRUE(loadBrokerSecret(made, secret, mErr));
    struct stat st;
    ASSERT_EQ(0, stat((mDir.path() + "/state").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    std::string missing = mDir.path() + "/absent/deeper/broker.key";
    EXPECT_FALSE(loadBrokerSecret(missing, secret, mErr));
    EXPECT_NE(std::string::npos, mErr.str().find("cannot be created: No such file or directory"));
}

class KeyedSetup : public cBrokerHarness {
protected:
    void SetUp() override
    {
        cBrokerHarness::SetUp();
        unsigned char secret[kBrokerSecretLen];
        std::memset(secret, 0x5e, sizeof(secret));
        setTunnelKeySecret(secret);
    }
    void TearDown() override
    {
        setTunnelKeysRequired(false);
        cBrokerHarness::TearDown();
    }

    // Request, offer and accept with keys, as our client sends them; returns
    // the offer. The keyed request alone makes no tunnel.
    std::string setUpKeyed(const cTestSocket& peer, const char* id, const std::string& key)
    {
        std::string idTag = std::string("tunnelid=") + id;
        fromPeer(tspBytes({"request", idTag, "tunnelkey=" + key}), peer.addr());
        std::string offer = sentTo(peer);
        EXPECT_EQ(nullptr, tunnelOf(peer));
        std::string validKey = "tunnelkey=" + tunnelKeyFor(static_cast<unsigned>(std::stoul(id)));
        fromPeer(tspBytes({"accept", idTag, "keepalive=30", validKey}), peer.addr());
        return offer;
    }
};

TEST_F(KeyedSetup, OnlyTheKeyHolderTakesAProtectedIdentifier)
{
    cTestSocket owner, attacker, ownerAgain;
    const std::string key = tunnelKeyFor(7);
    // The key follows the written tags, for a client that asked for one.
    EXPECT_EQ(exampleOffer() + tspBytes({"tunnelkey=" + key}), setUpKeyed(owner, "7", ""));
    ASSERT_NE(nullptr, tunnelOf(owner));
    EXPECT_TRUE(tunnelOf(owner)->isKeyProtected());
    EXPECT_TRUE(tunnelOf(owner)->hasCompleted());
    mLog.records();

    // Without the key the identifier is not taken: the owner keeps its
    // tunnel, and the forged request costs no table slot.
    fromPeer(tspBytes({"request", "tunnelid=7", "tunnelkey="}), attacker.addr());
    EXPECT_EQ(std::string::npos, sentTo(attacker).find(std::string("tunnelid=7\0", 11)));
    EXPECT_EQ(nullptr, tunnelOf(attacker));
    EXPECT_TRUE(tunnelOf(owner)->isEstablished());
    EXPECT_TRUE(has(mLog.records(),
                    "INFO cTunnel Identifier 0x7 is taken only with its tunnel key, handled as 0"));

    // With it, the owner back from another port has its address at once; its
    // old tunnel goes when the accept proves the key.
    setUpKeyed(ownerAgain, "7", key);
    EXPECT_EQ(nullptr, tunnelOf(owner));
    ASSERT_NE(nullptr, tunnelOf(ownerAgain));
    EXPECT_EQ(ip6Text(tunnelOf(ownerAgain)->getAddr()), "2001:db8::7");
}

TEST_F(KeyedSetup, RequiredKeysRefuseIdentifiersAndAcceptsWithoutThem)
{
    setTunnelKeysRequired(true);
    cTestSocket client;
    fromPeer(tspBytes({"request", "tunnelid=7"}), client.addr());
    // The whole tag: an address derived from the endpoint may begin with 7.
    EXPECT_EQ(std::string::npos, sentTo(client).find(std::string("ip6addr=2001:db8::7\0", 20)));
    fromPeer(tspBytes({"accept"}), client.addr());
    EXPECT_EQ(TUNNEL_OFFERED, tunnelOf(client)->getState());
}

TEST_F(KeyedSetup, NoEndpointDerivesAnIdentifierAnotherHoldsUnderItsKey)
{
    cTestSocket owner, newcomer;
    // The owner's identifier is the one the newcomer's endpoint would derive.
    std::string id = std::to_string(endpointCrc(newcomer.addr()));
    setUpKeyed(owner, id.c_str(), "");
    ASSERT_TRUE(tunnelOf(owner)->isKeyProtected());

    fromPeer(tspBytes({"request", "tunnelid=0"}), newcomer.addr());
    EXPECT_EQ(std::string::npos, sentTo(newcomer).find("tunnelid=" + id + '\0'));
    EXPECT_NE(tunnelOf(owner)->getId(), tunnelOf(newcomer)->getId());
}

// A pool of two routed prefixes.
class RoutedPrefix : public KeyedSetup {
protected:
    void SetUp() override
    {
        KeyedSetup::SetUp();
        std::string error;
        ASSERT_TRUE(gDelegations.configure("2001:db8:100::/63", 64, error)) << error;
    }
    void TearDown() override
    {
        gDelegations = cDelegationTable();
        KeyedSetup::TearDown();
    }

    // Our client's setup with a key, asking for a routed prefix; returns the
    // offer. The accept repeats what the offer gave.
    std::string askPrefix(const cTestSocket& peer, const std::string& id, const std::string& key = "")
    {
        fromPeer(tspBytes({"request", "tunnelid=" + id, "tunnelkey=" + key, "routedprefix="}), peer.addr());
        std::string offer = sentTo(peer);
        std::size_t at = offer.find("routedprefix=");
        std::string given = at == std::string::npos ? "" : offer.substr(at + 13, offer.find('\0', at) - at - 13);
        std::string accept = tspBytes({"accept", "tunnelid=" + id, "keepalive=30",
                                       "tunnelkey=" + tunnelKeyFor(static_cast<unsigned>(std::stoul(id)))});
        fromPeer(given.empty() ? accept : accept + tspBytes({"routedprefix=" + given}), peer.addr());
        return offer;
    }
};

TEST_F(RoutedPrefix, AKeyedClientHoldsItsPrefixAndItsTraffic)
{
    cTestSocket owner, attacker, other;
    std::string prefix = gDelegations.prefixText(*gDelegations.placeFor(7, [](uint32_t) { return false; }));
    std::string net = prefix.substr(0, prefix.find('/'));
    // The tag follows the key; the accept takes the prefix, which the file keeps.
    EXPECT_EQ(exampleOffer() + tspBytes({"tunnelkey=" + tunnelKeyFor(7), "routedprefix=" + prefix}),
              askPrefix(owner, "7"));
    EXPECT_EQ(0u, gDelegations.serialize(0).rfind("7 " + prefix + " ", 0));
    ASSERT_TRUE(tunnelOf(owner)->isKeyProtected());

    // Frames to the prefix go to its holder, which may send from it.
    std::string in = ip6Frame("2001:db8:1::99", (net + "5").c_str());
    mMode->handleTunFrame(mHost, &in[0], static_cast<int>(in.size()), kNow);
    EXPECT_EQ(in, sentTo(owner));
    std::string out = ip6Frame((net + "5").c_str(), "2001:db8:1::99");
    fromPeer(out, owner.addr());
    EXPECT_EQ(out, tunWritten());

    // Without the key the identifier, and so the prefix, stay the owner's;
    // a design request is answered without the tag.
    EXPECT_EQ(std::string::npos, askPrefix(attacker, "7").find("routedprefix="));
    EXPECT_EQ(7u, gDelegations.holderOf(ip6((net + "5").c_str())));
    fromPeer(tspBytes({"request", "tunnelid=9", "routedprefix="}), other.addr());
    EXPECT_EQ(std::string::npos, sentTo(other).find("routedprefix="));
}

TEST_F(RoutedPrefix, AFullPoolOffersNoneAndSaysSo)
{
    cTestSocket a, b, c;
    EXPECT_NE(std::string::npos, askPrefix(a, "7").find("routedprefix="));
    EXPECT_NE(std::string::npos, askPrefix(b, "8").find("routedprefix="));
    mLog.records();
    EXPECT_EQ(std::string::npos, askPrefix(c, "9").find("routedprefix="));
    EXPECT_TRUE(has(mLog.records(), "INFO cBroker Every routed prefix is held by a live tunnel: 1 "
                                    "requests got none since the last report"));
}

TEST_F(RoutedPrefix, AnAddressNobodyHoldsIsAnsweredAtMostTenTimesASecond)
{
    cTestSocket owner;
    askPrefix(owner, "7");
    std::string toNobody = udpFrame(ip6("2001:db8::7"), ip6("2001:db8::dead"), 60);
    // From a client: the error goes back through its tunnel, the frame nowhere.
    for (int i = 0; i < 12; ++i)
        fromPeer(toNobody, owner.addr());
    EXPECT_EQ("<none>", tunWritten());
    std::string error = sentTo(owner);
    ASSERT_GE(error.size(), 4u + 40 + 8 + toNobody.size() - 4);
    EXPECT_EQ(toNobody.substr(12, 16), error.substr(28, 16));
    EXPECT_EQ(std::string("\x01\x03", 2), error.substr(44, 2));
    int errors = 1;
    while (sentTo(owner) != "<none>")
        ++errors;
    EXPECT_EQ(10, errors);
    // From the broker's kernel: into the TUN device, once the bucket refills.
    std::string fromKernel = udpFrame(ip6("2001:db8::1"), ip6("2001:db8:100::1:1"), 60);
    mMode->handleTunFrame(mHost, &fromKernel[0], static_cast<int>(fromKernel.size()), kNow + kSecond);
    EXPECT_EQ(fromKernel.substr(12, 16), tunWritten().substr(28, 16));
    EXPECT_TRUE(has(mLog.records(), "INFO cBroker Unreachable errors rate-limited: 1 not sent since "
                                    "the last report"));
}
