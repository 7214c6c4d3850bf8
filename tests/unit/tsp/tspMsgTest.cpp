#include "tsp/cTSPMsg.h"
#include "logCapture.h"
#include "setupMessages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

const std::string kRequest = "request\0tunnelid=7\0keepalive=30\0"s;
const std::string kOffer = exampleOffer();
const std::string kAccept = "accept\0"s;
// The type string has no value; a bare nullptr would also match the address form.
const char* const kNoValue = nullptr;

std::string bytesOf(cTSPMsg& msg)
{
    return std::string(msg.getData(), static_cast<std::size_t>(msg.getLen()));
}

// A received datagram in a heap buffer of exactly its size, so that ASan
// reports any read past the last byte; parsed on construction.
class cReceived {
public:
    explicit cReceived(const std::string& bytes) : mBuf(new char[bytes.size()])
    {
        std::memcpy(mBuf.get(), bytes.data(), bytes.size());
        mMsg.reset(new cTSPMsg(mBuf.get(), static_cast<int>(bytes.size())));
    }
    cTSPMsg* operator->() { return mMsg.get(); }

private:
    std::unique_ptr<char[]> mBuf;
    std::unique_ptr<cTSPMsg> mMsg; // destroyed before the buffer
};

// Every scenario observes the records that the messages write.
class cCodecScenario : public testing::Test {
protected:
    // The records since the last look: count of them, with these lines at
    // these places.
    void expectRecordsWith(std::size_t count,
                           std::initializer_list<std::pair<std::size_t, const char*>> lines)
    {
        Records got = mLog.records();
        ASSERT_EQ(count, got.size());
        for (const auto& line : lines)
            EXPECT_EQ(line.second, got[line.first]);
    }
    cLogCapture mLog;
};

} // namespace

class BuildingTheWorkedExample : public cCodecScenario {};

TEST_F(BuildingTheWorkedExample, RequestOfferAndAcceptAreTheExactBytes)
{
    cTSPMsg request(1024);
    request.addTag("request", kNoValue);
    EXPECT_EQ(8, request.getLen());
    request.addTag("tunnelid", 7u);
    EXPECT_EQ(19, request.getLen());
    request.addTag("keepalive", 30u);
    EXPECT_EQ(kRequest, bytesOf(request));

    in6_addr prefix = ip6("2001:db8::"), addr = ip6("2001:db8::7");
    cTSPMsg offer(1024);
    offer.addTag("offer", kNoValue);
    offer.addTag("tunnelid", 7u);
    offer.addTag("ip6prefix", &prefix);
    offer.addTag("ip6prefixlen", 64u);
    offer.addTag("ip6addr", &addr);
    offer.addTag("keepalive", 30u);
    EXPECT_EQ(87, offer.getLen());
    EXPECT_EQ(kOffer, bytesOf(offer));

    cTSPMsg accept(1024);
    accept.addTag("accept", kNoValue);
    EXPECT_EQ(kAccept, bytesOf(accept));
    EXPECT_TRUE(mLog.records().empty());
}

TEST_F(BuildingTheWorkedExample, DumpShowsEveryNulAndNonPrintableByteAsADot)
{
    cTSPMsg request(1024);
    request.addTag("request", kNoValue);
    request.addTag("tunnelid", 7u);
    request.addTag("keepalive", 30u);
    request.addTag("tunnelkey", "00112233445566778899aabbccddeeff"); // never logged
    request.dump();
    cTSPMsg odd(1024);
    odd.addTag("a\x01\x7f\x80\xff~ %s", "\n");
    odd.dump();
    EXPECT_EQ((Records{"DEBUG cTSPMsg >>>TSP:", "DEBUG cTSPMsg request.tunnelid=7.keepalive=30.tunnelkey=<32 hex digits>.",
                       "DEBUG cTSPMsg <<<<", "DEBUG cTSPMsg >>>TSP:",
                       "DEBUG cTSPMsg a....~ %s=..", "DEBUG cTSPMsg <<<<"}),
              mLog.records());
}

// The builder never writes at or past its capacity: a string that does not
// fit is refused whole.
class FillingTheBuilder : public cCodecScenario {};

TEST_F(FillingTheBuilder, AStringThatDoesNotFitLeavesTheMessageAsItWas)
{
    cTSPMsg msg(12);
    msg.addTag("request", kNoValue);
    msg.addTag("tunnelid", 7u); // needs 11 of the 4 bytes left
    EXPECT_EQ("request\0"s, bytesOf(msg));
    msg.addTag("ab", "");       // exactly the 4 bytes left
    msg.addTag("", kNoValue);    // even one NUL no longer fits
    EXPECT_EQ("request\0ab=\0"s, bytesOf(msg));

    cTSPMsg none(-5);
    none.addTag("", kNoValue);
    EXPECT_EQ(0, none.getLen());
    none.dump();
    EXPECT_EQ((Records{"DEBUG cTSPMsg >>>TSP:", "DEBUG cTSPMsg ", "DEBUG cTSPMsg <<<<"}),
              mLog.records());
}

class ParsingTheWorkedExample : public cCodecScenario {};

TEST_F(ParsingTheWorkedExample, RequestGivesItsFieldsAndSixDebugLines)
{
    cReceived msg(kRequest);
    EXPECT_EQ((Records{"DEBUG cTSPMsg Msg has 4 bits: ", "DEBUG cTSPMsg Type is 'request'",
                       "DEBUG cTSPMsg argv[1]: tunnelid=7", "DEBUG cTSPMsg Got Tunnel Id7",
                       "DEBUG cTSPMsg argv[2]: keepalive=30",
                       "DEBUG cTSPMsg Got Tunnel Keepalive30"}),
              mLog.records());
    EXPECT_EQ(TSP_REQUEST, msg->getType());
    EXPECT_EQ(7u, msg->getTunnelId());
    EXPECT_EQ(30u, msg->getKeepalive());
    EXPECT_EQ(0u, msg->getPrefixLen());
    EXPECT_EQ("::", ip6Text(msg->getPrefix()));
    EXPECT_EQ("::", ip6Text(msg->getAddr()));
    msg->dump(); // each "=" is now a NUL in the caller's buffer
    EXPECT_EQ((Records{"DEBUG cTSPMsg >>>TSP:", "DEBUG cTSPMsg request.tunnelid.7.keepalive.30.",
                       "DEBUG cTSPMsg <<<<"}),
              mLog.records());
}

TEST_F(ParsingTheWorkedExample, OfferGivesEveryFieldAndAcceptOnlyItsType)
{
    cReceived offer(kOffer);
    EXPECT_EQ(TSP_OFFER, offer->getType());
    EXPECT_EQ(7u, offer->getTunnelId());
    EXPECT_EQ(64u, offer->getPrefixLen());
    EXPECT_EQ("2001:db8::", ip6Text(offer->getPrefix()));
    EXPECT_EQ("2001:db8::7", ip6Text(offer->getAddr()));
    EXPECT_EQ(30u, offer->getKeepalive());
    expectRecordsWith(12, {{5, "DEBUG cTSPMsg Got Prefix 2001:db8::"},
                           {7, "DEBUG cTSPMsg Got Prefix Len64"},
                           {9, "DEBUG cTSPMsg Got Tunnel Addr2001:db8::7"}});

    cReceived accept(kAccept);
    EXPECT_EQ(TSP_ACCEPT, accept->getType());
    EXPECT_EQ((Records{"DEBUG cTSPMsg Msg has 2 bits: ", "DEBUG cTSPMsg Type is 'accept'"}),
              mLog.records());
}

// What a hostile or broken peer can send.
class ParsingHostileMessages : public cCodecScenario {};

TEST_F(ParsingHostileMessages, AStringWithoutItsNulAtTheEndIsDropped)
{
    cReceived cut("request\0tunnelid=7\0keepalive=30"s);
    EXPECT_EQ((Records{"DEBUG cTSPMsg Msg has 3 bits: ", "DEBUG cTSPMsg Type is 'request'",
                       "DEBUG cTSPMsg argv[1]: tunnelid=7", "DEBUG cTSPMsg Got Tunnel Id7"}),
              mLog.records());
    EXPECT_EQ(7u, cut->getTunnelId());
    EXPECT_EQ(0u, cut->getKeepalive());

    cReceived noNul("accept"s);
    EXPECT_EQ(TSP_UNKNOWN, noNul->getType());
    char spare[] = "accept";
    cTSPMsg empty(spare, 0), negative(spare, -1), nothing(nullptr, 5);
    EXPECT_EQ(TSP_UNKNOWN, empty.getType());
    EXPECT_EQ(TSP_UNKNOWN, negative.getType());
    EXPECT_EQ(TSP_UNKNOWN, nothing.getType());
    Records typeless{"DEBUG cTSPMsg Msg has 1 bits: ", "DEBUG cTSPMsg Type is ''"};
    Records expected;
    for (int i = 0; i < 4; ++i)
        expected.insert(expected.end(), typeless.begin(), typeless.end());
    EXPECT_EQ(expected, mLog.records());
    EXPECT_STREQ("accept", spare);
}

TEST_F(ParsingHostileMessages, EmptyRepeatedUnknownAndBareTagsAreSkipped)
{
    cReceived msg("request\0\0tunnelid=7\0"s);
    EXPECT_EQ((Records{"DEBUG cTSPMsg Msg has 4 bits: ", "DEBUG cTSPMsg Type is 'request'",
                       "DEBUG cTSPMsg argv[1]: ", "DEBUG cTSPMsg Dunno tag '",
                       "DEBUG cTSPMsg argv[2]: tunnelid=7", "DEBUG cTSPMsg Got Tunnel Id7"}),
              mLog.records());
    EXPECT_EQ(7u, msg->getTunnelId());

    cReceived again("offer\0tunnelid=1\0keepalive=9\0color=blue=x\0keepalive\0tunnelid=2\0"s);
    EXPECT_EQ(2u, again->getTunnelId());
    EXPECT_EQ(9u, again->getKeepalive());
    expectRecordsWith(12, {{7, "DEBUG cTSPMsg Dunno tag 'color"},
                           {8, "DEBUG cTSPMsg argv[4]: keepalive"},
                           {9, "DEBUG cTSPMsg Dunno tag 'keepalive"}});
}

TEST_F(ParsingHostileMessages, NetworkTextReachesEachRecordVerbatimButWithoutControlBytes)
{
    cReceived msg("re\nquest\0%s%n=1\0tunnel\tid=1\0ip6addr=2001:db8::1\r\nERROR x\0"
                  "ip6prefix=\x1b[2J\0"s);
    EXPECT_EQ(TSP_UNKNOWN, msg->getType());
    EXPECT_EQ((Records{"DEBUG cTSPMsg Msg has 6 bits: ", "DEBUG cTSPMsg Type is 're.quest'",
                       "DEBUG cTSPMsg argv[1]: %s%n=1", "DEBUG cTSPMsg Dunno tag '%s%n",
                       "DEBUG cTSPMsg argv[2]: tunnel.id=1", "DEBUG cTSPMsg Dunno tag 'tunnel.id",
                       "DEBUG cTSPMsg argv[3]: ip6addr=2001:db8::1..ERROR x",
                       "DEBUG cTSPMsg Got Tunnel Addr2001:db8::1..ERROR x",
                       "DEBUG cTSPMsg argv[4]: ip6prefix=.[2J", "DEBUG cTSPMsg Got Prefix .[2J"}),
              mLog.records());
    EXPECT_EQ("::", ip6Text(msg->getAddr()));
    EXPECT_EQ(0u, msg->getTunnelId());
}

TEST_F(ParsingHostileMessages, NumbersFollowUnsignedConversionAndKeepTheLow32Bits)
{
    cReceived a("request\0tunnelid=5=6\0keepalive=-1\0ip6prefixlen=99999999999999999999999\0"s);
    EXPECT_EQ(5u, a->getTunnelId());
    EXPECT_EQ(4294967295u, a->getKeepalive());
    EXPECT_EQ(4294967295u, a->getPrefixLen());
    cReceived b("request\0tunnelid=4294967296\0keepalive=\0ip6prefixlen= +12abc\0"s);
    EXPECT_EQ(0u, b->getTunnelId());
    EXPECT_EQ(0u, b->getKeepalive());
    EXPECT_EQ(12u, b->getPrefixLen());
    cReceived c("offer\0ip6addr=2001:db8::9\0ip6addr=nope\0ip6prefix=1.2.3.4\0"s);
    EXPECT_EQ("2001:db8::9", ip6Text(c->getAddr())); // a bad address keeps the earlier one
    EXPECT_EQ("::", ip6Text(c->getPrefix()));
}

TEST_F(ParsingHostileMessages, AFirstStringThatIsATagIsOnlyTheType)
{
    cReceived msg("tunnelid=7\0keepalive=30\0"s);
    EXPECT_EQ(TSP_UNKNOWN, msg->getType());
    EXPECT_EQ(0u, msg->getTunnelId());
    EXPECT_EQ(30u, msg->getKeepalive());
    EXPECT_EQ((Records{"DEBUG cTSPMsg Msg has 3 bits: ", "DEBUG cTSPMsg Type is 'tunnelid=7'",
                       "DEBUG cTSPMsg argv[1]: keepalive=30",
                       "DEBUG cTSPMsg Got Tunnel Keepalive30"}),
              mLog.records());
}
