// Fuzz target: the TUN offloads. A header (mode, MTU, TCP option words,
// payload length and gso_size of two bytes, TCP flags) shapes a TCP/IPv6 super-segment as
// the kernel hands it; the input, repeated, fills the rest. Mode bit 0
// hands it without GSO when it fits, bit 1 adds the ECN bit, bit 2 has the
// next super-segment of the flow follow, bit 3 loses one frame (bits 4-7)
// before the merge. The frames must fit the MTU and
// carry valid checksums, sequence and payload; the merged writes must have
// a consistent virtio header and pseudo-header sum and, cut again, give the
// same frames, so the same payload. The raw input also goes to both, as a
// device read and as frames (records as in cFuzzInput.h), and each such
// frame to the ICMPv6 error builder, whose error must fit 1280 bytes, carry
// a valid checksum and quote the frame to its source.
#include "cFuzzInput.h"
#include "fuzzSupport.h"
#include "setupMessages.h"

#include "config/configKeys.h"
#include "packet/checksum.h"
#include "packet/frame.h"
#include "packet/icmpUnreachable.h"
#include "packet/tcpCoalescer.h"

#include <cstring>
#include <vector>

namespace {

using tBytes = std::vector<unsigned char>;
using tFrames = std::vector<tBytes>;
const size_t kTcpAt = kIp6HeaderLen, kPacketAt = kPacketInfoLen + kVnetHeaderLen;

// Sums a word at a time, the plain way, to hold the fast sum to.
uint16_t plainSum(const unsigned char* p, size_t n, uint32_t sum)
{
    for (size_t i = 0; i < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | (i + 1 < n ? p[i + 1] : 0));
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

uint16_t pseudoSum(const unsigned char* ip6, size_t upperLen)
{
    return plainSum(ip6 + kIp6AddressesAt, kIp6AddressesLen,
                    static_cast<uint32_t>(upperLen + kIpProtoTcp));
}

struct sCase {
    uint8_t mode;
    int mtu;
    size_t tcpLen;
    sVnetHeader vnet;
    tBytes packet;
};

sCase buildCase(cFuzzInput& in, const uint8_t* data, size_t size)
{
    uint8_t h[8]; // mode, MTU, option words, payload length, gso_size, flags
    for (uint8_t& b : h)
        b = in.byte();
    const tConfigKey& mtuKey = configKey("quib.tun.mtu");
    sCase c{h[0], mtuKey.min + h[1] % (mtuKey.max - mtuKey.min + 1),
            kTcpMinHeaderLen + 4 * (h[2] % 11), {}, {}};
    size_t upperLen = c.tcpLen + (h[3] << 8 | h[4]) % (0x10000 - c.tcpLen);
    uint16_t gsoSize = static_cast<uint16_t>(64 + (h[5] << 8 | h[6]) % (0x10000 - 64));
    c.packet.resize(kIp6HeaderLen + upperLen);
    unsigned char* ip6 = c.packet.data();
    for (size_t i = 0; size > 0 && i < c.packet.size(); ++i)
        ip6[i] = data[i % size];
    ip6[0] = static_cast<unsigned char>(0x60 | (ip6[0] & 0x0f));
    writeBig16(ip6 + kIp6PayloadLengthAt, static_cast<uint16_t>(upperLen));
    ip6[kIp6NextHeaderAt] = kIpProtoTcp;
    ip6[kTcpAt + kTcpDataOffsetAt] = static_cast<unsigned char>(c.tcpLen / 4 << 4);
    ip6[kTcpAt + kTcpFlagsAt] = h[7];
    writeBig16(ip6 + kTcpAt + kTcpChecksumAt, pseudoSum(ip6, upperLen));
    bool whole = (c.mode & 1) && c.packet.size() <= static_cast<size_t>(c.mtu);
    uint8_t gsoType = whole ? kVnetGsoNone : kVnetGsoTcpv6 | (c.mode & 2 ? kVnetGsoEcn : 0);
    c.vnet = sVnetHeader{kVnetNeedsCsum, gsoType, static_cast<uint16_t>(kTcpAt + c.tcpLen),
                         gsoSize, kIp6HeaderLen, kTcpChecksumAt};
    return c;
}

// The frames, each in a block of exactly its size.
tFrames cut(const sVnetHeader& vnet, const unsigned char* packet, size_t len,
            const unsigned char* pi, int mtu, tBytes& out)
{
    sWireFrames f;
    tFrames frames;
    if (!segmentForWire(vnet, packet, len, pi, mtu, out.data(), out.size(), f))
        return frames;
    fuzzCheck(f.count > 0 && f.totalSize() <= out.size(), "frames beyond the room");
    for (size_t i = 0; i < f.count; ++i) {
        const unsigned char* at = out.data() + i * f.frameSize;
        frames.emplace_back(at, at + (i + 1 < f.count ? f.frameSize : f.lastSize));
        fuzzCheck(frames.back().size() <= kPacketInfoLen + mtu, "frame beyond the MTU");
    }
    return frames;
}

void checkFrames(const sCase& c, const tFrames& frames)
{
    fuzzCheck(!frames.empty(), "super-segment refused");
    const unsigned char* tcp = c.packet.data() + kTcpAt;
    size_t offset = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const unsigned char* ip6 = frames[i].data() + kPacketInfoLen;
        size_t upperLen = frames[i].size() - kPacketInfoLen - kIp6HeaderLen;
        uint8_t flags = tcp[kTcpFlagsAt] & (i > 0 ? ~kTcpCwr : 0xff)
            & (i + 1 < frames.size() ? ~(kTcpFin | kTcpPsh) : 0xff);
        fuzzCheck(upperLen >= c.tcpLen && readBig16(ip6 + kIp6PayloadLengthAt) == upperLen
                      && plainSum(ip6 + kTcpAt, upperLen, pseudoSum(ip6, upperLen)) == 0xffff
                      && readBig32(ip6 + kTcpAt + kTcpSequenceAt)
                             == readBig32(tcp + kTcpSequenceAt) + static_cast<uint32_t>(offset)
                      && ip6[kTcpAt + kTcpFlagsAt] == flags
                      && std::memcmp(ip6 + kTcpAt + c.tcpLen, tcp + c.tcpLen + offset,
                                     upperLen - c.tcpLen) == 0,
                  "frame length, checksum, sequence, flags or payload");
        offset += upperLen - c.tcpLen;
    }
    fuzzCheck(offset == c.packet.size() - kTcpAt - c.tcpLen, "payload cut short");
}

// Offers the frames as the receive path does and returns the writes.
tFrames merge(cTcpCoalescer& merger, const tFrames& frames)
{
    tFrames writes;
    auto take = [&](sTunWrite w) {
        if (w.len > 0)
            writes.emplace_back(w.bytes, w.bytes + w.len);
    };
    for (const tBytes& f : frames) {
        if (merger.add(f.data(), f.size()))
            continue;
        take(merger.flush());
        tBytes alone(f.size() + kVnetHeaderLen);
        if (!merger.add(f.data(), f.size())
            && cTcpCoalescer::frameAlone(f.data(), f.size(), alone.data(), alone.size()))
            writes.push_back(alone);
    }
    take(merger.flush());
    return writes;
}

// Every write holds a zero virtio header or a GSO one that fits its packet,
// with the pseudo-header sum in the checksum field; cut again, the writes
// give the frames merged, so their payload too.
void checkMerged(cTcpCoalescer& merger, const sCase& c, const tFrames& frames, tBytes& out)
{
    tFrames again;
    for (const tBytes& w : merge(merger, frames)) {
        sVnetHeader v, zero = {};
        std::memcpy(&v, &w[kPacketInfoLen], kVnetHeaderLen);
        sVnetHeader gso = {kVnetNeedsCsum, kVnetGsoTcpv6, c.vnet.hdrLen, v.gsoSize, kIp6HeaderLen,
                           kTcpChecksumAt};
        const unsigned char* ip6 = &w[kPacketAt];
        size_t upperLen = w.size() - kPacketAt - kIp6HeaderLen;
        fuzzCheck(std::memcmp(&v, &zero, kVnetHeaderLen) == 0
                      || (std::memcmp(&v, &gso, kVnetHeaderLen) == 0
                          && readBig16(ip6 + kTcpAt + kTcpChecksumAt) == pseudoSum(ip6, upperLen)),
                  "virtio header or checksum field of a write");
        tFrames cutAgain = cut(v, ip6, w.size() - kPacketAt, &w[0], c.mtu, out);
        again.insert(again.end(), cutAgain.begin(), cutAgain.end());
    }
    fuzzCheck(again == frames, "merged and cut again, the frames differ");
}

// The error for a frame: built exactly when it may be answered, and then
// a whole, checksummed Destination Unreachable to the frame's source.
void checkUnreachable(const tBytes& frame)
{
    static unsigned char error[kUnreachableFrameMax];
    const in6_addr from = ip6("2001:db8::1");
    size_t len = buildUnreachable(frame.data(), frame.size(), from, kIcmp6AddressUnreachable, error);
    fuzzCheck((len != 0) == mayAnswerWithUnreachable(frame.data(), frame.size()),
              "error built for a frame that may not be answered, or not built");
    if (len == 0)
        return;
    const unsigned char* ip6 = error + kPacketInfoLen;
    size_t upperLen = len - kPacketInfoLen - kIp6HeaderLen;
    fuzzCheck(len <= kUnreachableFrameMax && readBig16(ip6 + kIp6PayloadLengthAt) == upperLen,
              "error longer than 1280 bytes or with a wrong payload length");
    fuzzCheck(std::memcmp(ip6 + kIp6AddressesAt + kIp6AddressLen, &frame[kPacketInfoLen + kIp6AddressesAt],
                          kIp6AddressLen) == 0
                  && std::memcmp(ip6 + kIp6HeaderLen + 8, &frame[kPacketInfoLen], upperLen - 8) == 0,
              "error not to the frame's source or not quoting it");
    uint32_t pseudo = plainSum(ip6 + kIp6AddressesAt, kIp6AddressesLen, static_cast<uint32_t>(upperLen + 58));
    fuzzCheck(plainSum(ip6 + kIp6HeaderLen, upperLen, pseudo) == 0xffff, "error checksum does not add up");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return initializeFuzzing(FUZZ_LOGS_QUIET);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static tBytes out(256 * 1024); // a 64 KB super-segment cut into 64-byte segments
    static cTcpCoalescer merger;
    cFuzzInput in(data, size);
    sCase c = buildCase(in, data, size);
    tFrames frames = cut(c.vnet, c.packet.data(), c.packet.size(), kIp6PacketInfo, c.mtu, out);
    checkFrames(c, frames);
    if (c.mode & 4) {
        unsigned char* sequence = &c.packet[kTcpAt + kTcpSequenceAt];
        size_t payloadLen = c.packet.size() - kTcpAt - c.tcpLen;
        writeBig32(sequence, readBig32(sequence) + static_cast<uint32_t>(payloadLen));
        tFrames next = cut(c.vnet, c.packet.data(), c.packet.size(), kIp6PacketInfo, c.mtu, out);
        frames.insert(frames.end(), next.begin(), next.end());
    }
    if (c.mode & 8)
        frames.erase(frames.begin() + (c.mode >> 4) % frames.size());
    checkMerged(merger, c, frames, out);

    if (size >= kVnetHeaderLen) {
        sVnetHeader vnet;
        std::memcpy(&vnet, data, kVnetHeaderLen);
        tBytes packet(data + kVnetHeaderLen, data + size), room(2 * packet.size());
        cut(vnet, packet.data(), packet.size(), kIp6PacketInfo, c.mtu, room);
    }
    tFrames raw;
    for (sFuzzDatagram d; in.nextDatagram(d);) {
        raw.emplace_back(d.bytes.begin(), d.bytes.end());
        checkUnreachable(raw.back());
    }
    merge(merger, raw);
    return 0;
}
