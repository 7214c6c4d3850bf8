#include "packet/icmpUnreachable.h"

#include "packet/checksum.h"
#include "packet/frame.h"
#include "packet/tcpSegmenter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint8_t kIpProtoIcmp6 = 58;
constexpr uint8_t kIcmp6DestinationUnreachable = 1;
// Types below this one are error messages.
constexpr uint8_t kIcmp6FirstInformational = 128;
constexpr size_t kIcmp6HeaderLen = 8;
constexpr uint8_t kErrorHopLimit = 64;

// Extension headers that may stand between the IPv6 header and an ICMPv6
// message: hop-by-hop options, routing, fragment, destination options.
bool isExtensionHeader(uint8_t next)
{
    return next == 0 || next == 43 || next == 44 || next == 60;
}

// Whether the packet carries an ICMPv6 error message (or one we cannot
// tell apart from one: a fragment after the first, a cut-off chain).
bool carriesIcmp6Error(const unsigned char* ip6, size_t len)
{
    uint8_t next = ip6[kIp6NextHeaderAt];
    size_t at = kIp6HeaderLen;
    while (isExtensionHeader(next)) {
        if (at + 8 > len)
            return true;
        if (next == 44) {
            bool firstFragment = (readBig16(ip6 + at + 2) & 0xfff8) == 0;
            if (!firstFragment)
                return true;
            next = ip6[at];
            at += 8;
            continue;
        }
        next = ip6[at];
        at += (static_cast<size_t>(ip6[at + 1]) + 1) * 8;
    }
    if (next != kIpProtoIcmp6)
        return false;
    return at >= len || ip6[at] < kIcmp6FirstInformational;
}

bool isUnspecified(const unsigned char* address)
{
    static const unsigned char kZero[kIp6AddressLen] = {};
    return std::memcmp(address, kZero, kIp6AddressLen) == 0;
}

} // namespace

bool mayAnswerWithUnreachable(const unsigned char* frame, size_t n)
{
    if (n > static_cast<size_t>(INT32_MAX)
        || !holdsIp6Packet(reinterpret_cast<const char*>(frame), static_cast<int>(n)))
        return false;
    const unsigned char* ip6 = frame + kPacketInfoLen;
    const unsigned char* source = ip6 + kIp6AddressesAt;
    const unsigned char* destination = source + kIp6AddressLen;
    if (isMulticast(destination) || isMulticast(source) || isUnspecified(source))
        return false;
    return !carriesIcmp6Error(ip6, n - kPacketInfoLen);
}

size_t buildUnreachable(const unsigned char* frame, size_t n, const in6_addr& from, uint8_t code,
                        unsigned char* out)
{
    if (!mayAnswerWithUnreachable(frame, n))
        return 0;
    const unsigned char* offending = frame + kPacketInfoLen;
    size_t quoted = std::min(n - kPacketInfoLen, kIcmp6ErrorMax - kIp6HeaderLen - kIcmp6HeaderLen);
    size_t icmpLen = kIcmp6HeaderLen + quoted;

    std::memset(out, 0, kPacketInfoLen + kIp6HeaderLen + kIcmp6HeaderLen);
    writeBig16(out + 2, 0x86DD);
    unsigned char* ip6 = out + kPacketInfoLen;
    ip6[0] = 0x60;
    writeBig16(ip6 + kIp6PayloadLengthAt, static_cast<uint16_t>(icmpLen));
    ip6[kIp6NextHeaderAt] = kIpProtoIcmp6;
    ip6[kIp6HopLimitAt] = kErrorHopLimit;
    std::memcpy(ip6 + kIp6AddressesAt, &from, kIp6AddressLen);
    std::memcpy(ip6 + kIp6AddressesAt + kIp6AddressLen, offending + kIp6AddressesAt, kIp6AddressLen);

    unsigned char* icmp = ip6 + kIp6HeaderLen;
    icmp[0] = kIcmp6DestinationUnreachable;
    icmp[1] = code;
    std::memcpy(icmp + kIcmp6HeaderLen, offending, quoted);
    uint16_t sum = onesComplementAdd(ip6PseudoHeaderSum(ip6, static_cast<uint32_t>(icmpLen), kIpProtoIcmp6),
                                     onesComplementSum(icmp, icmpLen));
    writeBig16(icmp + 2, static_cast<uint16_t>(~sum));
    return kPacketInfoLen + kIp6HeaderLen + icmpLen;
}
