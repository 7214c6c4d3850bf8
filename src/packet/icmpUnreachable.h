// ICMPv6 Destination Unreachable for a frame whose destination nobody
// holds, so that its sender fails at once instead of waiting for a time-out.
// What is never answered follows the rules for ICMPv6 errors: another
// error, a multicast destination, an unspecified or multicast source.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// The code for an address no tunnel holds.
constexpr uint8_t kIcmp6AddressUnreachable = 3;
// An error and the packet it quotes fit the IPv6 minimum MTU.
constexpr size_t kIcmp6ErrorMax = 1280;
// Room for the largest frame buildUnreachable writes: packet information
// and the error's IPv6 packet.
constexpr size_t kUnreachableFrameMax = 4 + kIcmp6ErrorMax;

// True when the frame (packet information, then IPv6) may draw an error.
bool mayAnswerWithUnreachable(const unsigned char* frame, size_t n);

// Writes into out (kUnreachableFrameMax bytes) the frame of a Destination
// Unreachable with code, from `from` to the frame's source, quoting as much
// of the frame's packet as fits. Returns its length, or 0 when the frame
// may not be answered.
size_t buildUnreachable(const unsigned char* frame, size_t n, const in6_addr& from, uint8_t code,
                        unsigned char* out);
