#include "packet/checksum.h"

#include <cstring>

namespace {

// a + b with the carry out of bit 63 added back in.
inline uint64_t addWithCarry(uint64_t a, uint64_t b)
{
    a += b;
    return a + (a < b);
}

uint64_t load64(const unsigned char* p)
{
    uint64_t w;
    std::memcpy(&w, p, sizeof(w));
    return w;
}

uint16_t fold(uint64_t sum)
{
    sum = (sum & 0xffffffffu) + (sum >> 32);
    sum = (sum & 0xffffffffu) + (sum >> 32);
    sum = (sum & 0xffffu) + (sum >> 16);
    sum = (sum & 0xffffu) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

} // namespace

uint16_t onesComplementSum(const unsigned char* data, size_t len)
{
    // The ones'-complement sum does not depend on byte order, so the bytes
    // are added as native 64-bit words and only the folded result is turned
    // into a big-endian value. Four accumulators keep four carry chains in
    // flight; this loop carries the bulk path.
    uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (; len >= 32; data += 32, len -= 32) {
        s0 = addWithCarry(s0, load64(data));
        s1 = addWithCarry(s1, load64(data + 8));
        s2 = addWithCarry(s2, load64(data + 16));
        s3 = addWithCarry(s3, load64(data + 24));
    }
    for (; len >= 8; data += 8, len -= 8)
        s0 = addWithCarry(s0, load64(data));
    uint64_t tail = 0;
    if (len > 0)
        std::memcpy(&tail, data, len); // an odd last byte keeps a zero after it
    uint64_t sum = addWithCarry(addWithCarry(s0, s1), addWithCarry(s2, s3));
    uint16_t folded = fold(addWithCarry(sum, tail));
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    folded = __builtin_bswap16(folded);
#endif
    return folded;
}

uint16_t ip6PseudoHeaderSum(const unsigned char* ip6, uint32_t upperLength, uint8_t nextHeader)
{
    uint16_t sum = onesComplementSum(ip6 + kIp6AddressesAt, kIp6AddressesLen);
    sum = onesComplementAdd(sum, static_cast<uint16_t>(upperLength >> 16));
    sum = onesComplementAdd(sum, static_cast<uint16_t>(upperLength));
    return onesComplementAdd(sum, nextHeader);
}
