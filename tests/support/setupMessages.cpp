#include "setupMessages.h"

#include <arpa/inet.h>

std::string tspBytes(std::initializer_list<const char*> strings)
{
    std::string out;
    for (const char* s : strings)
        out.append(s).push_back('\0');
    return out;
}

std::string exampleOffer()
{
    return tspBytes({"offer", "tunnelid=7", "ip6prefix=2001:db8::", "ip6prefixlen=64",
                     "ip6addr=2001:db8::7", "keepalive=30"});
}

in6_addr ip6(const char* text)
{
    in6_addr a{};
    inet_pton(AF_INET6, text, &a);
    return a;
}

std::string ip6Text(const in6_addr* address)
{
    char text[128];
    return inet_ntop(AF_INET6, address, text, sizeof(text)) ? text : "?";
}

std::string ip6Frame(const char* source, const char* destination, std::size_t size)
{
    std::string frame(size, '\0');
    frame[2] = '\x86';
    frame[3] = '\xdd';
    frame[4] = '\x60';
    in6_addr from = ip6(source);
    in6_addr to = ip6(destination);
    frame.replace(12, 16, reinterpret_cast<const char*>(&from), 16);
    frame.replace(28, 16, reinterpret_cast<const char*>(&to), 16);
    return frame;
}
