// The TUN offloads: a checksum the kernel leaves to us, and a super-segment
// that crosses the wire as frames and is merged back for the device.
#include "packet/checksum.h"
#include "packet/tcpCoalescer.h"
#include "setupMessages.h"
#include "setupMessages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using tBytes = std::vector<unsigned char>;

// fe80::1 to fe80::2 with a zeroed upper-layer header, then payload bytes.
tBytes ip6Packet(uint8_t proto, size_t headerLen, size_t payloadLen)
{
    tBytes p(kIp6HeaderLen + headerLen + payloadLen);
    p[0] = 0x60;
    writeBig16(&p[kIp6PayloadLengthAt], static_cast<uint16_t>(headerLen + payloadLen));
    p[kIp6NextHeaderAt] = proto;
    p[8] = p[24] = 0xfe;
    p[9] = p[25] = 0x80;
    p[23] = 1;
    p[39] = 2;
    for (size_t i = 0; i < payloadLen; ++i)
        p[kIp6HeaderLen + headerLen + i] = static_cast<unsigned char>(i * 7 + 3);
    return p;
}

} // namespace

TEST(TcpOffload, UdpChecksumLeftByTheKernelIsCompleted)
{
    tBytes udp = ip6Packet(17, 8, 101);
    writeBig16(&udp[kIp6HeaderLen + 6], ip6PseudoHeaderSum(udp.data(), 109, 17));
    sVnetHeader vnet = {kVnetNeedsCsum, kVnetGsoNone, 0, 0, kIp6HeaderLen, 6};
    tBytes out(kWireFramesCapacity);
    sWireFrames frames;
    ASSERT_TRUE(segmentForWire(vnet, udp.data(), udp.size(), kIp6PacketInfo, 1280, out.data(), out.size(),
                               frames));
    ASSERT_EQ(kPacketInfoLen + udp.size(), frames.totalSize());
    EXPECT_EQ(definedChecksum(udp.data(), udp.size(), 6),
              readBig16(&out[kPacketInfoLen + kIp6HeaderLen + 6]));
}

TEST(TcpOffload, SuperSegmentCrossesAsFramesAndIsMergedBack)
{
    tBytes tcp = ip6Packet(kIpProtoTcp, 20, 3000);
    tcp[kIp6HeaderLen + kTcpDataOffsetAt] = 5 << 4;
    tcp[kIp6HeaderLen + kTcpFlagsAt] = kTcpAck | kTcpPsh;
    sVnetHeader vnet = {kVnetNeedsCsum, kVnetGsoTcpv6, 60, 1200, kIp6HeaderLen, kTcpChecksumAt};
    tBytes out(kWireFramesCapacity);
    sWireFrames frames;
    ASSERT_TRUE(segmentForWire(vnet, tcp.data(), tcp.size(), kIp6PacketInfo, 1280, out.data(), out.size(),
                               frames));
    ASSERT_EQ(3u, frames.count);
    ASSERT_EQ(4u + 60 + 600, frames.lastSize);
    cTcpCoalescer merger;
    for (size_t i = 0; i < 3; ++i) {
        const unsigned char* ip6 = &out[i * frames.frameSize + kPacketInfoLen];
        size_t len = (i < 2 ? frames.frameSize : frames.lastSize) - kPacketInfoLen;
        EXPECT_EQ(definedChecksum(ip6, len, kTcpChecksumAt),
                  readBig16(ip6 + kIp6HeaderLen + kTcpChecksumAt));
        EXPECT_EQ(1200 * i, readBig32(ip6 + kIp6HeaderLen + kTcpSequenceAt));
        EXPECT_TRUE(merger.add(ip6 - kPacketInfoLen, len + kPacketInfoLen));
    }
    sTunWrite w = merger.flush();
    sVnetHeader merged;
    ASSERT_EQ(kPacketInfoLen + kVnetHeaderLen + tcp.size(), w.len);
    std::memcpy(&merged, w.bytes + kPacketInfoLen, kVnetHeaderLen);
    EXPECT_EQ(1200, merged.gsoSize);
    EXPECT_EQ(tBytes(tcp.begin() + 60, tcp.end()), tBytes(w.bytes + w.len - 3000, w.bytes + w.len));
}
