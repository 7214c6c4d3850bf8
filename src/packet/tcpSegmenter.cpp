#include "packet/tcpSegmenter.h"

#include "config/configKeys.h"
#include "packet/checksum.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// An IPv6 packet's payload length is a 16-bit field.
constexpr size_t kLongestPacket = kIp6HeaderLen + 0xffff;

bool mtuUsable(int mtu)
{
    static const tConfigKey& key = configKey("quib.tun.mtu");
    return mtu >= key.min && mtu <= key.max;
}

// True when the offsets vnet names lie within the packet.
bool offsetsFit(const sVnetHeader& vnet, size_t len)
{
    if (static_cast<size_t>(vnet.hdrLen) > len)
        return false;
    if ((vnet.flags & kVnetNeedsCsum) == 0)
        return true;
    return static_cast<size_t>(vnet.csumStart) + vnet.csumOffset + 2 <= len;
}

bool wholePacket(const sVnetHeader& vnet, const unsigned char* packet, size_t len,
                 const unsigned char* packetInfo, int mtu, unsigned char* out,
                 size_t capacity, sWireFrames& frames)
{
    // Shorter than an IPv6 header it would not even be an IPv6 packet, and
    // the bare packet information is what a keepalive looks like.
    if (len < kIp6HeaderLen || len > static_cast<size_t>(mtu)
        || kPacketInfoLen + len > capacity)
        return false;
    std::memcpy(out, packetInfo, kPacketInfoLen);
    unsigned char* copy = out + kPacketInfoLen;
    std::memcpy(copy, packet, len);
    if (vnet.flags & kVnetNeedsCsum) {
        // The field already holds the pseudo-header sum the kernel put there.
        unsigned char* start = copy + vnet.csumStart;
        uint16_t sum = onesComplementSum(start, len - vnet.csumStart);
        writeBig16(start + vnet.csumOffset, checksumField(sum));
    }
    frames = sWireFrames{1, kPacketInfoLen + len, kPacketInfoLen + len};
    return true;
}

// The parts of a TCP/IPv6 super-segment the cutting works from.
struct sSuperSegment {
    const unsigned char* ip6;
    const unsigned char* tcp;
    size_t tcpLen;
    const unsigned char* payload;
    size_t payloadLen;
};

bool parseSuperSegment(const unsigned char* packet, size_t len, sSuperSegment& s)
{
    if (len < kIp6HeaderLen + kTcpMinHeaderLen || (packet[0] >> 4) != 6
        || packet[kIp6NextHeaderAt] != kIpProtoTcp
        || static_cast<size_t>(readBig16(packet + kIp6PayloadLengthAt)) != len - kIp6HeaderLen)
        return false;
    s.ip6 = packet;
    s.tcp = packet + kIp6HeaderLen;
    s.tcpLen = tcpHeaderLength(s.tcp);
    if (s.tcpLen < kTcpMinHeaderLen || kIp6HeaderLen + s.tcpLen > len)
        return false;
    s.payload = s.tcp + s.tcpLen;
    s.payloadLen = len - kIp6HeaderLen - s.tcpLen;
    return true;
}

// As the kernel cuts a super-segment: FIN and PSH belong to its end, CWR to
// its start.
uint8_t segmentFlags(uint8_t flags, bool first, bool last)
{
    if (!first)
        flags &= static_cast<uint8_t>(~kTcpCwr);
    if (!last)
        flags &= static_cast<uint8_t>(~(kTcpFin | kTcpPsh));
    return flags;
}

// Writes one segment's frame at f: packet information, headers with this
// segment's fields, payload, checksum. addressSum is the pseudo-header sum
// without the length, the same for every segment.
void writeSegment(const sSuperSegment& s, const unsigned char* packetInfo, uint16_t addressSum,
                  size_t offset, size_t segmentLen, bool last, unsigned char* f)
{
    std::memcpy(f, packetInfo, kPacketInfoLen);
    unsigned char* ip6 = f + kPacketInfoLen;
    std::memcpy(ip6, s.ip6, kIp6HeaderLen);
    uint16_t upperLength = static_cast<uint16_t>(s.tcpLen + segmentLen);
    writeBig16(ip6 + kIp6PayloadLengthAt, upperLength);

    unsigned char* tcp = ip6 + kIp6HeaderLen;
    std::memcpy(tcp, s.tcp, s.tcpLen);
    uint32_t sequence = readBig32(s.tcp + kTcpSequenceAt) + static_cast<uint32_t>(offset);
    writeBig32(tcp + kTcpSequenceAt, sequence);
    tcp[kTcpFlagsAt] = segmentFlags(s.tcp[kTcpFlagsAt], offset == 0, last);
    writeBig16(tcp + kTcpChecksumAt, 0);
    std::memcpy(tcp + s.tcpLen, s.payload + offset, segmentLen);

    uint16_t sum = onesComplementAdd(addressSum, upperLength);
    sum = onesComplementAdd(sum, onesComplementSum(tcp, upperLength));
    writeBig16(tcp + kTcpChecksumAt, checksumField(sum));
}

bool tcpSegments(const sVnetHeader& vnet, const unsigned char* packet, size_t len,
                 const unsigned char* packetInfo, int mtu, unsigned char* out,
                 size_t capacity, sWireFrames& frames)
{
    sSuperSegment s;
    if (vnet.gsoSize == 0 || !parseSuperSegment(packet, len, s))
        return false;
    // The MTU bounds the whole IPv6 packet; at least 1280 - 40 - 60 remain.
    size_t headersLen = kIp6HeaderLen + s.tcpLen;
    size_t segmentLen = std::min<size_t>(vnet.gsoSize, static_cast<size_t>(mtu) - headersLen);
    size_t count = s.payloadLen == 0 ? 1 : (s.payloadLen + segmentLen - 1) / segmentLen;
    size_t lastLen = s.payloadLen - (count - 1) * segmentLen;
    size_t frameSize = kPacketInfoLen + headersLen + (count > 1 ? segmentLen : lastLen);
    frames = sWireFrames{count, frameSize, kPacketInfoLen + headersLen + lastLen};
    if (frames.totalSize() > capacity)
        return false;

    uint16_t addressSum = ip6PseudoHeaderSum(s.ip6, 0, kIpProtoTcp);
    for (size_t i = 0; i < count; ++i) {
        bool last = i + 1 == count;
        writeSegment(s, packetInfo, addressSum, i * segmentLen, last ? lastLen : segmentLen, last,
                     out + i * frameSize);
    }
    return true;
}

} // namespace

bool segmentForWire(const sVnetHeader& vnet, const unsigned char* packet, size_t len,
                    const unsigned char* packetInfo, int mtu, unsigned char* out,
                    size_t capacity, sWireFrames& frames)
{
    if (!mtuUsable(mtu) || len > kLongestPacket || !offsetsFit(vnet, len))
        return false;
    switch (vnet.gsoType) {
    case kVnetGsoNone:
        return wholePacket(vnet, packet, len, packetInfo, mtu, out, capacity, frames);
    case kVnetGsoTcpv6:
    case kVnetGsoTcpv6 | kVnetGsoEcn:
        return tcpSegments(vnet, packet, len, packetInfo, mtu, out, capacity, frames);
    default:
        return false;
    }
}
