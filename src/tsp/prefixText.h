// An IPv6 prefix as text, "PREFIX/LEN" (2001:db8:100:2a::/64): how a routed
// prefix travels in a setup message and how an operator names a pool.
#pragma once

#include <netinet/in.h>

#include <string>

// True when text is an IPv6 address, "/" and a decimal length of 0 to 128
// with no bit set beyond that length; prefix and len then hold it.
bool parsePrefixText(const char* text, in6_addr& prefix, unsigned& len);
std::string prefixText(const in6_addr& prefix, unsigned len);
// True when the first bits bits (at most 128) of a and b are the same.
bool samePrefix(const unsigned char* a, const unsigned char* b, unsigned bits);
