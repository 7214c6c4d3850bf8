#include "packet/tcpCoalescer.h"

#include "packet/checksum.h"

#include <cstring>

namespace {

constexpr size_t kPacketAt = kPacketInfoLen + kVnetHeaderLen;
constexpr size_t kLongestUpperLength = 0xffff;
constexpr unsigned char kIp6Protocol[2] = {0x86, 0xDD};

// The fields that must match between segments of one merge, from the start
// of the IPv6 header: version, traffic class and flow label; then the
// addresses.
constexpr size_t kIp6FlowLen = 4;

// From the start of the TCP header: ports; acknowledgment and data offset;
// window (after the flags byte, which is checked on its own).
constexpr size_t kTcpPortsLen = 4;
constexpr size_t kTcpWindowAt = 14;

bool sameBytes(const unsigned char* a, const unsigned char* b, size_t from, size_t to)
{
    return std::memcmp(a + from, b + from, to - from) == 0;
}

bool checksumValid(const unsigned char* ip6, const unsigned char* tcp, size_t upperLength)
{
    uint16_t sum = ip6PseudoHeaderSum(ip6, static_cast<uint32_t>(upperLength), kIpProtoTcp);
    return onesComplementAdd(sum, onesComplementSum(tcp, upperLength)) == 0xffff;
}

} // namespace

// A frame that may take part in a merge, taken apart.
struct cTcpCoalescer::sSegment {
    const unsigned char* ip6;
    const unsigned char* tcp;
    size_t tcpLen;
    size_t payloadLen;
    uint8_t flags;

    // True for a TCP/IPv6 segment with payload, flags ACK or ACK and PSH,
    // and a valid checksum: once merged, the checksum is the kernel's to
    // compute, so a damaged segment must not get that far.
    bool parse(const unsigned char* frame, size_t len)
    {
        if (len < kPacketInfoLen + kIp6HeaderLen + kTcpMinHeaderLen
            || std::memcmp(frame + 2, kIp6Protocol, sizeof(kIp6Protocol)) != 0)
            return false;
        ip6 = frame + kPacketInfoLen;
        size_t upperLength = len - kPacketInfoLen - kIp6HeaderLen;
        if ((ip6[0] >> 4) != 6 || ip6[kIp6NextHeaderAt] != kIpProtoTcp
            || static_cast<size_t>(readBig16(ip6 + kIp6PayloadLengthAt)) != upperLength)
            return false;
        tcp = ip6 + kIp6HeaderLen;
        tcpLen = tcpHeaderLength(tcp);
        flags = tcp[kTcpFlagsAt];
        if (tcpLen < kTcpMinHeaderLen || tcpLen >= upperLength
            || (flags != kTcpAck && flags != (kTcpAck | kTcpPsh)))
            return false;
        payloadLen = upperLength - tcpLen;
        return checksumValid(ip6, tcp, upperLength);
    }
};

cTcpCoalescer::cTcpCoalescer() : mBuffer(kPacketAt + kIp6HeaderLen + kLongestUpperLength) {}

bool cTcpCoalescer::add(const unsigned char* frame, size_t len)
{
    sSegment s;
    if (!s.parse(frame, len))
        return false;
    if (mLen == 0) {
        start(frame, len, s);
        return true;
    }
    if (!continues(frame, s))
        return false;
    append(s);
    return true;
}

bool cTcpCoalescer::continues(const unsigned char* frame, const sSegment& s) const
{
    const unsigned char* ip6 = &mBuffer[kPacketAt];
    const unsigned char* tcp = ip6 + kIp6HeaderLen;
    size_t upperLength = mLen - kPacketAt - kIp6HeaderLen;
    return !mEnded && s.tcpLen == mTcpLen && s.payloadLen <= mSegmentLen
        && upperLength + s.payloadLen <= kLongestUpperLength
        && readBig32(s.tcp + kTcpSequenceAt) == mNextSequence
        && std::memcmp(frame, &mBuffer[0], kPacketInfoLen) == 0
        && sameBytes(s.ip6, ip6, 0, kIp6FlowLen) && s.ip6[kIp6HopLimitAt] == ip6[kIp6HopLimitAt]
        && sameBytes(s.ip6, ip6, kIp6AddressesAt, kIp6AddressesAt + kIp6AddressesLen)
        && sameBytes(s.tcp, tcp, 0, kTcpPortsLen)
        && sameBytes(s.tcp, tcp, kTcpAckAt, kTcpFlagsAt)
        && sameBytes(s.tcp, tcp, kTcpWindowAt, kTcpChecksumAt)
        && sameBytes(s.tcp, tcp, kTcpMinHeaderLen, mTcpLen);
}

void cTcpCoalescer::start(const unsigned char* frame, size_t len, const sSegment& s)
{
    // Kept whole: a merge that stays one segment is written as it came.
    std::memcpy(&mBuffer[0], frame, kPacketInfoLen);
    std::memcpy(&mBuffer[kPacketAt], s.ip6, len - kPacketInfoLen);
    mLen = kPacketAt + len - kPacketInfoLen;
    mSegments = 1;
    mTcpLen = s.tcpLen;
    mSegmentLen = s.payloadLen;
    mNextSequence = readBig32(s.tcp + kTcpSequenceAt) + static_cast<uint32_t>(s.payloadLen);
    mLastFlags = s.flags;
    mEnded = (s.flags & kTcpPsh) != 0;
}

void cTcpCoalescer::append(const sSegment& s)
{
    std::memcpy(&mBuffer[mLen], s.tcp + s.tcpLen, s.payloadLen);
    mLen += s.payloadLen;
    ++mSegments;
    mNextSequence += static_cast<uint32_t>(s.payloadLen);
    mLastFlags = s.flags;
    mEnded = s.payloadLen < mSegmentLen || (s.flags & kTcpPsh) != 0;
}

sTunWrite cTcpCoalescer::flush()
{
    if (mLen == 0)
        return sTunWrite{nullptr, 0};
    std::memset(&mBuffer[kPacketInfoLen], 0, kVnetHeaderLen);
    if (mSegments > 1)
        completeMerge();
    sTunWrite out{&mBuffer[0], mLen};
    mLen = 0;
    return out;
}

void cTcpCoalescer::completeMerge()
{
    unsigned char* ip6 = &mBuffer[kPacketAt];
    unsigned char* tcp = ip6 + kIp6HeaderLen;
    size_t upperLength = mLen - kPacketAt - kIp6HeaderLen;
    writeBig16(ip6 + kIp6PayloadLengthAt, static_cast<uint16_t>(upperLength));
    tcp[kTcpFlagsAt] = mLastFlags;
    // With kVnetNeedsCsum the kernel adds up from csumStart and stores the
    // complement, so the field starts as the pseudo-header sum.
    writeBig16(tcp + kTcpChecksumAt,
               ip6PseudoHeaderSum(ip6, static_cast<uint32_t>(upperLength), kIpProtoTcp));

    sVnetHeader vnet = {};
    vnet.flags = kVnetNeedsCsum;
    vnet.gsoType = kVnetGsoTcpv6;
    vnet.hdrLen = static_cast<uint16_t>(kIp6HeaderLen + mTcpLen);
    vnet.gsoSize = static_cast<uint16_t>(mSegmentLen);
    vnet.csumStart = static_cast<uint16_t>(kIp6HeaderLen);
    vnet.csumOffset = static_cast<uint16_t>(kTcpChecksumAt);
    std::memcpy(&mBuffer[kPacketInfoLen], &vnet, sizeof(vnet));
}

size_t cTcpCoalescer::frameAlone(const unsigned char* frame, size_t len, unsigned char* out,
                                 size_t capacity)
{
    if (len < kPacketInfoLen || len + kVnetHeaderLen > capacity)
        return 0;
    std::memcpy(out, frame, kPacketInfoLen);
    std::memset(out + kPacketInfoLen, 0, kVnetHeaderLen);
    std::memcpy(out + kPacketAt, frame + kPacketInfoLen, len - kPacketInfoLen);
    return len + kVnetHeaderLen;
}
