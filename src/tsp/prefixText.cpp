#include "tsp/prefixText.h"

#include "log/logText.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

bool bitsBeyondClear(const in6_addr& prefix, unsigned len)
{
    for (unsigned bit = len; bit < 128; ++bit)
        if (prefix.s6_addr[bit / 8] & (0x80 >> (bit % 8)))
            return false;
    return true;
}

} // namespace

bool parsePrefixText(const char* text, in6_addr& prefix, unsigned& len)
{
    if (text == nullptr)
        return false;
    const char* slash = std::strchr(text, '/');
    // The longest address text is 45 characters (with an IPv4 tail).
    if (slash == nullptr || slash == text || slash - text > 45)
        return false;
    const char* digits = slash + 1;
    std::size_t count = std::strspn(digits, "0123456789");
    if (count == 0 || count > 3 || digits[count] != '\0' || (count > 1 && digits[0] == '0'))
        return false;
    unsigned value = static_cast<unsigned>(std::strtoul(digits, nullptr, 10));
    char address[46];
    std::memcpy(address, text, static_cast<std::size_t>(slash - text));
    address[slash - text] = '\0';
    in6_addr parsed;
    if (value > 128 || inet_pton(AF_INET6, address, &parsed) != 1 || !bitsBeyondClear(parsed, value))
        return false;
    prefix = parsed;
    len = value;
    return true;
}

bool samePrefix(const unsigned char* a, const unsigned char* b, unsigned bits)
{
    bits = bits < 128 ? bits : 128;
    if (std::memcmp(a, b, bits / 8) != 0)
        return false;
    unsigned rest = bits % 8;
    unsigned char mask = static_cast<unsigned char>(0xff00u >> rest);
    return rest == 0 || (a[bits / 8] & mask) == (b[bits / 8] & mask);
}

std::string prefixText(const in6_addr& prefix, unsigned len)
{
    return ip6Text(prefix) + "/" + std::to_string(len);
}
