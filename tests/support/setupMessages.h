// Setup messages and IPv6 addresses as the tests write them.
#pragma once

#include <netinet/in.h>

#include <initializer_list>
#include <string>

// Bytes of a setup message: every string followed by its NUL.
std::string tspBytes(std::initializer_list<const char*> strings);

// The bytes of a string literal with embedded NULs, without the final NUL.
template <std::size_t N>
std::string wire(const char (&text)[N])
{
    return std::string(text, N - 1);
}

// The offer of the worked example: tunnel 7, 2001:db8::7 in 2001:db8::/64,
// keepalive 30; 87 bytes, the final NUL included.
std::string exampleOffer();

in6_addr ip6(const char* text);
std::string ip6Text(const in6_addr* address);

// A TUN frame of size bytes (at least 44): flags 0, protocol 0x86DD, IP
// version 6, the two addresses, every other byte zero.
std::string ip6Frame(const char* source, const char* destination, std::size_t size = 48);
