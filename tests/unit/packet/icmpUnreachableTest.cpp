// The Destination Unreachable the broker writes for a frame nobody holds:
// its fields and checksum, the bound on what it quotes, and the frames that
// must never draw one.
#include "packet/checksum.h"
#include "packet/icmpUnreachable.h"
#include "setupMessages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using tBytes = std::vector<unsigned char>;

// A frame from source to destination: packet information, IPv6, then the
// headers in `upper` (next-header values, 8 bytes each, the last one an
// ICMPv6 message of type icmpType) and payload bytes.
tBytes frame(const char* source, const char* destination, std::vector<uint8_t> upper,
             uint8_t icmpType = 128, size_t payload = 56)
{
    tBytes f(4 + kIp6HeaderLen + 8 * upper.size() + payload, 0x5a);
    std::memset(f.data(), 0, 4 + kIp6HeaderLen);
    writeBig16(&f[2], 0x86DD);
    unsigned char* ip6 = &f[4];
    ip6[0] = 0x60;
    writeBig16(ip6 + kIp6PayloadLengthAt, static_cast<uint16_t>(f.size() - 4 - kIp6HeaderLen));
    ip6[kIp6HopLimitAt] = 64;
    in6_addr s = ::ip6(source), d = ::ip6(destination);
    std::memcpy(ip6 + kIp6AddressesAt, &s, 16);
    std::memcpy(ip6 + kIp6AddressesAt + 16, &d, 16);
    uint8_t* next = &ip6[kIp6NextHeaderAt];
    for (size_t i = 0; i < upper.size(); ++i) {
        unsigned char* h = ip6 + kIp6HeaderLen + 8 * i;
        *next = upper[i];
        std::memset(h, 0, 8);
        next = h;
    }
    if (!upper.empty() && upper.back() == 58)
        ip6[kIp6HeaderLen + 8 * (upper.size() - 1)] = icmpType;
    return f;
}

const in6_addr kBroker = ip6("2001:db8:1::1");

} // namespace

// From the broker to the sender, quoting the whole packet when it fits the
// minimum MTU and only what fits when it does not.
TEST(IcmpUnreachable, AnswersTheSenderFromTheBrokerWithAValidChecksum)
{
    tBytes in = frame("2001:db8:1::2", "2001:db8:1::dead", {58});
    unsigned char out[kUnreachableFrameMax];
    size_t n = buildUnreachable(in.data(), in.size(), kBroker, kIcmp6AddressUnreachable, out);
    ASSERT_EQ(4 + kIp6HeaderLen + 8 + (in.size() - 4), n);
    const unsigned char* ip6 = out + 4;
    EXPECT_EQ(n - 4 - kIp6HeaderLen, readBig16(ip6 + kIp6PayloadLengthAt));
    EXPECT_EQ(0, std::memcmp(ip6 + kIp6AddressesAt, &kBroker, 16));
    EXPECT_EQ(0, std::memcmp(ip6 + kIp6AddressesAt + 16, &in[4 + kIp6AddressesAt], 16));
    const unsigned char* icmp = ip6 + kIp6HeaderLen;
    EXPECT_EQ(std::string("\x01\x03", 2), std::string(reinterpret_cast<const char*>(icmp), 2));
    EXPECT_EQ(0, std::memcmp(icmp + 8, &in[4], in.size() - 4));
    uint32_t icmpLen = static_cast<uint32_t>(n - 4 - kIp6HeaderLen);
    EXPECT_EQ(0xffff, onesComplementAdd(ip6PseudoHeaderSum(ip6, icmpLen, 58),
                                        onesComplementSum(icmp, icmpLen)));

    tBytes large = frame("2001:db8:1::2", "2001:db8:1::dead", {17}, 0, 1452);
    EXPECT_EQ(4 + kIcmp6ErrorMax,
              buildUnreachable(large.data(), large.size(), kBroker, kIcmp6AddressUnreachable, out));
}

TEST(IcmpUnreachable, NeverAnswersWhatTheRulesForErrorsExclude)
{
    struct sCase {
        const char* what;
        tBytes frame;
        bool answered;
    } cases[] = {
        {"an echo behind hop-by-hop options", frame("2001:db8:1::2", "2001:db8:1::9", {0, 58}), true},
        {"TCP", frame("2001:db8:1::2", "2001:db8:1::9", {6}), true},
        {"an ICMPv6 error", frame("2001:db8:1::2", "2001:db8:1::9", {58}, 1), false},
        {"an error behind destination options", frame("2001:db8:1::2", "2001:db8:1::9", {60, 58}, 3), false},
        {"a multicast destination", frame("2001:db8:1::2", "ff02::1", {58}), false},
        {"a multicast source", frame("ff02::2", "2001:db8:1::9", {58}), false},
        {"an unspecified source", frame("::", "2001:db8:1::9", {58}), false},
        {"a frame too short for IPv6", tBytes(4 + 39, 0), false},
    };
    for (const sCase& c : cases) {
        unsigned char out[kUnreachableFrameMax];
        EXPECT_EQ(c.answered, buildUnreachable(c.frame.data(), c.frame.size(), kBroker,
                                               kIcmp6AddressUnreachable, out) != 0)
            << c.what;
    }
    tBytes notIp6 = frame("2001:db8:1::2", "2001:db8:1::9", {58});
    notIp6[3] = 0x00;
    EXPECT_FALSE(mayAnswerWithUnreachable(notIp6.data(), notIp6.size()));
}
