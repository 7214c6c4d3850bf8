// Cuts what one read from a TUN device opened with IFF_VNET_HDR returned (a
// virtio header and a packet, possibly a TCP/IPv6 super-segment of up to
// 64 KB) into wire frames: each the 4-byte packet information and one IPv6
// packet of at most the tunnel MTU, as a device without offloads gives them.
#pragma once

#include "packet/vnetHeader.h"

#include <cstddef>
#include <cstdint>

constexpr size_t kPacketInfoLen = 4;

// Output room that holds the frames of any super-segment whose segments
// carry 110 bytes or more; one that needs more room is refused.
constexpr size_t kWireFramesCapacity = 128 * 1024;

// The frames lie back to back from the start of the output; all but the
// last are frameSize bytes, so one send with UDP_SEGMENT set to frameSize
// (or several, each of whole frames) puts them on the wire.
struct sWireFrames {
    size_t count;
    size_t frameSize;
    size_t lastSize;

    size_t totalSize() const { return (count - 1) * frameSize + lastSize; }
};

// Writes the frames of the len-byte packet behind vnet into out (capacity
// bytes), each behind the packetInfo bytes:
// - no GSO: the packet as it is, its checksum completed first when vnet asks
//   for that (any protocol: the sum from csumStart to the end, stored at
//   csumStart + csumOffset);
// - TCP/IPv6 GSO: one TCP segment per frame, of gsoSize payload bytes or
//   fewer where the MTU asks for it (the last may be shorter), each with
//   its own payload length, sequence number, flags and full checksum.
// False, with nothing promised about out, for anything else: other GSO
// kinds, IPv6 extension headers, a packet longer than the MTU without GSO,
// lengths or offsets that do not fit the packet, an MTU outside the range
// of quib.tun.mtu, or too little room. Nothing outside packet and out is
// touched whatever the input.
bool segmentForWire(const sVnetHeader& vnet, const unsigned char* packet, size_t len,
                    const unsigned char* packetInfo, int mtu, unsigned char* out,
                    size_t capacity, sWireFrames& frames);
