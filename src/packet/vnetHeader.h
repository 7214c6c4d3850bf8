// The virtio-net header of a TUN device opened with IFF_VNET_HDR.
#pragma once

#include <cstddef>
#include <cstdint>

// The header a TUN device opened with IFF_VNET_HDR puts before every packet
// and expects before every write: struct virtio_net_hdr in its legacy form,
// native byte order. Spelled out here because linux/virtio_net.h does not
// compile as C++ (a member is named "class").
struct sVnetHeader {
    uint8_t flags;
    uint8_t gsoType;
    uint16_t hdrLen;     // bytes of headers, a hint only
    uint16_t gsoSize;    // payload bytes per segment
    uint16_t csumStart;  // where the sum to complete starts
    uint16_t csumOffset; // where, after csumStart, it goes
};
constexpr size_t kVnetHeaderLen = 10;
static_assert(sizeof(sVnetHeader) == kVnetHeaderLen, "struct virtio_net_hdr is 10 bytes");

constexpr uint8_t kVnetNeedsCsum = 1; // VIRTIO_NET_HDR_F_NEEDS_CSUM
constexpr uint8_t kVnetGsoNone = 0;
constexpr uint8_t kVnetGsoTcpv6 = 4;
constexpr uint8_t kVnetGsoEcn = 0x80; // added to kVnetGsoTcpv6
