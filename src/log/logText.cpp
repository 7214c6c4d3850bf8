#include "log/logText.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

std::string hexText(unsigned long value)
{
    static const char digits[] = "0123456789abcdef";
    char buffer[2 * sizeof(unsigned long) + 1];
    char* p = buffer + sizeof(buffer);
    *--p = '\0';
    do {
        *--p = digits[value & 0xf];
        value >>= 4;
    } while (value != 0);
    return std::string(p);
}

std::string printableText(const char* text)
{
    return printableText(text, text ? std::strlen(text) : 0);
}

std::string printableText(const char* bytes, std::size_t len)
{
    std::string out(len, '.');
    for (std::size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        // Neither control bytes nor bytes above ASCII: 0x9b introduces a
        // terminal control, and invalid UTF-8 breaks log shippers.
        if (c >= 0x20 && c < 0x7f)
            out[i] = static_cast<char>(c);
    }
    return out;
}

std::string ipv4Text(const sockaddr_in& endpoint)
{
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &endpoint.sin_addr, text, sizeof(text)) == nullptr)
        return std::string();
    return std::string(text);
}

std::string endpointText(const sockaddr_in& endpoint)
{
    return ipv4Text(endpoint) + ":" + std::to_string(ntohs(endpoint.sin_port));
}

std::string ip6Text(const in6_addr& address)
{
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, &address, text, sizeof(text)) == nullptr)
        return std::string();
    return std::string(text);
}
