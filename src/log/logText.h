// Formatting helpers for log lines.
#pragma once

#include <cstddef>
#include <string>

// Lowercase hexadecimal without prefix or leading zeros: the text that
// follows "0x" in a line, formatted apart so no stream is left in hex mode.
std::string hexText(unsigned long value);

// Text that arrived from the network, made safe for one log record: every
// byte below 0x20 and 0x7f shows as ".". Stops at the first NUL.
std::string printableText(const char* text);

// The same for exactly len bytes (NULs included, shown as ".").
std::string printableText(const char* bytes, std::size_t len);

struct sockaddr_in;

// An IPv4 endpoint's address in dotted form (empty if it cannot be shown).
std::string ipv4Text(const sockaddr_in& endpoint);

// The same followed by ":" and the port in decimal, host order.
std::string endpointText(const sockaddr_in& endpoint);

struct in6_addr;

// An IPv6 address in its shortest form (empty if it cannot be shown).
std::string ip6Text(const in6_addr& address);
