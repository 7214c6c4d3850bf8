#include "broker/ipv4Text.h"

#include <arpa/inet.h>

std::string ipv4Text(const sockaddr_in& endpoint)
{
    char text[16];
    if (inet_ntop(AF_INET, &endpoint.sin_addr, text, sizeof(text)) == nullptr)
        return std::string();
    return std::string(text);
}
