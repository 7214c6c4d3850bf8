// The Internet checksum of TCP over IPv6 and the header fields it covers,
// shared by the segmenter and the coalescer of the TUN offloads. Sums are
// 16-bit ones'-complement values of big-endian words, folded and not
// complemented; the checksum field holds the complement of the whole sum.
#pragma once

#include <cstddef>
#include <cstdint>

// The IPv6 header: payload length, next header, addresses.
constexpr size_t kIp6HeaderLen = 40;
constexpr size_t kIp6PayloadLengthAt = 4;
constexpr size_t kIp6NextHeaderAt = 6;
constexpr size_t kIp6HopLimitAt = 7;
constexpr size_t kIp6AddressesAt = 8;
constexpr size_t kIp6AddressesLen = 32;
constexpr uint8_t kIpProtoTcp = 6;

// The TCP header, from its start: ports, sequence, data offset and flags,
// checksum; options follow the fixed 20 bytes.
constexpr size_t kTcpMinHeaderLen = 20;
constexpr size_t kTcpSequenceAt = 4;
constexpr size_t kTcpAckAt = 8;
constexpr size_t kTcpDataOffsetAt = 12;
constexpr size_t kTcpFlagsAt = 13;
constexpr size_t kTcpChecksumAt = 16;
constexpr uint8_t kTcpFin = 0x01;
constexpr uint8_t kTcpPsh = 0x08;
constexpr uint8_t kTcpAck = 0x10;
constexpr uint8_t kTcpCwr = 0x80;

// The header length a TCP header's data offset gives (20 to 60).
inline size_t tcpHeaderLength(const unsigned char* tcp)
{
    return static_cast<size_t>(tcp[kTcpDataOffsetAt] >> 4) * 4;
}

inline uint16_t readBig16(const unsigned char* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t readBig32(const unsigned char* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16)
        | (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline void writeBig16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

inline void writeBig32(unsigned char* p, uint32_t v)
{
    writeBig16(p, static_cast<uint16_t>(v >> 16));
    writeBig16(p + 2, static_cast<uint16_t>(v));
}

// The sum of len bytes starting at an even offset of the checksummed data;
// an odd last byte counts as if followed by a zero.
uint16_t onesComplementSum(const unsigned char* data, size_t len);

// a + b with the end-around carry.
inline uint16_t onesComplementAdd(uint16_t a, uint16_t b)
{
    uint32_t sum = static_cast<uint32_t>(a) + b;
    return static_cast<uint16_t>((sum & 0xffff) + (sum >> 16));
}

// The sum of the IPv6 pseudo-header of the packet whose header is at ip6:
// its addresses, the upper-layer length and the next header.
uint16_t ip6PseudoHeaderSum(const unsigned char* ip6, uint32_t upperLength, uint8_t nextHeader);

// The value a checksum field takes for data whose sum (field zero) is sum.
// Zero goes out as 0xffff, its ones'-complement twin, since a UDP checksum
// of zero means "none".
inline uint16_t checksumField(uint16_t sum)
{
    uint16_t field = static_cast<uint16_t>(~sum);
    return field == 0 ? 0xffff : field;
}
