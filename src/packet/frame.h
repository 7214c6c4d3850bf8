// The frame on the wire: every data datagram, in both directions, is one TUN
// frame, a 4-byte packet-information header (flags in host order, protocol
// big-endian) followed by the IPv6 packet.
#pragma once

#include <cstdint>

// Every receive buffer holds one whole frame or datagram.
constexpr int kFrameBufferSize = 2048;

// A datagram of at most this many bytes from an established peer is a
// keepalive; the client's keepalive is exactly these bytes.
constexpr int kKeepaliveMax = 4;
constexpr unsigned char kKeepaliveBytes[kKeepaliveMax] = {0x00, 0x00, 0x86, 0xDD};

// Offsets in the frame: IPv6 next header, source and destination address.
constexpr int kNextHeaderAt = 10;
constexpr int kSourceAt = 12;
constexpr int kDestinationAt = 28;
constexpr int kIp6AddressLen = 16;

// The header fields; a field the frame does not hold completely reads as 0,
// so nothing beyond the frame's n bytes is read.
unsigned frameFlags(const char* frame, int n);
unsigned frameProtocol(const char* frame, int n);

// The 16 bytes of the address at offset at, or null when the frame is too
// short to hold them all.
const unsigned char* frameAddress(const char* frame, int n, int at);

// True when the frame holds a whole IPv6 header: at least 44 bytes,
// protocol 0x86DD and IP version 6.
bool holdsIp6Packet(const char* frame, int n);

// True for an address in ff00::/8.
inline bool isMulticast(const unsigned char* address)
{
    return address[0] == 0xff;
}
