#include "packet/frame.h"

#include <cstring>

unsigned frameFlags(const char* frame, int n)
{
    if (n < 2)
        return 0;
    uint16_t flags;
    std::memcpy(&flags, frame, sizeof(flags));
    return flags;
}

unsigned frameProtocol(const char* frame, int n)
{
    if (n < 4)
        return 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame);
    return (static_cast<unsigned>(bytes[2]) << 8) | bytes[3];
}

const unsigned char* frameAddress(const char* frame, int n, int at)
{
    if (n < at + kIp6AddressLen)
        return nullptr;
    return reinterpret_cast<const unsigned char*>(frame) + at;
}

bool holdsIp6Packet(const char* frame, int n)
{
    const int kIp6Version = 6;
    return n >= kDestinationAt + kIp6AddressLen && frameProtocol(frame, n) == 0x86DD
        && (static_cast<unsigned char>(frame[4]) >> 4) == kIp6Version;
}
