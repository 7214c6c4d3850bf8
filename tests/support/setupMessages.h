// The bytes that tests, tools and benchmarks put on the wire: setup
// messages, TUN frames, keepalives, and the identifier the broker derives
// from an endpoint. Header-only and free of the test framework and the
// daemon's code, so that standalone tools (linked with zlib alone) use it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

// Bytes of a setup message: every string followed by its NUL.
inline std::string tspBytes(std::initializer_list<std::string> strings)
{
    std::string out;
    for (const std::string& s : strings)
        out.append(s).push_back('\0');
    return out;
}

// The bytes of a string literal with embedded NULs, without the final NUL.
template <std::size_t N>
std::string wire(const char (&text)[N])
{
    return std::string(text, N - 1);
}

// The offer of the worked example: tunnel 7, 2001:db8::7 in 2001:db8::/64,
// keepalive 30; 87 bytes, the final NUL included.
inline std::string exampleOffer()
{
    return tspBytes({"offer", "tunnelid=7", "ip6prefix=2001:db8::", "ip6prefixlen=64",
                     "ip6addr=2001:db8::7", "keepalive=30"});
}

// The same offer from a broker that keeps keys: the key and, unless empty,
// a routed prefix ("2001:db8:100:2a::/64") after the design's tags.
inline std::string keyedExampleOffer(const std::string& key, const std::string& routedPrefix = "")
{
    std::string offer = exampleOffer() + tspBytes({"tunnelkey=" + key});
    return routedPrefix.empty() ? offer : offer + tspBytes({"routedprefix=" + routedPrefix});
}

inline in6_addr ip6(const char* text)
{
    in6_addr a{};
    inet_pton(AF_INET6, text, &a);
    return a;
}

inline std::string ip6Text(const in6_addr* address)
{
    char text[128];
    return inet_ntop(AF_INET6, address, text, sizeof(text)) ? text : "?";
}

// The packet-information header of an IPv6 frame (flags 0, protocol
// 0x86DD); alone, it is the client's keepalive.
constexpr unsigned char kIp6PacketInfo[4] = {0x00, 0x00, 0x86, 0xDD};

inline std::string keepaliveBytes()
{
    return std::string(reinterpret_cast<const char*>(kIp6PacketInfo), sizeof(kIp6PacketInfo));
}

// A TUN frame of size bytes (at least 44): the packet information, IP
// version 6, the two addresses, every other byte zero.
inline std::string ip6Frame(const in6_addr& source, const in6_addr& destination,
                            std::size_t size = 48)
{
    std::string frame(size, '\0');
    frame.replace(0, sizeof(kIp6PacketInfo), keepaliveBytes());
    frame[4] = '\x60';
    frame.replace(12, 16, reinterpret_cast<const char*>(&source), 16);
    frame.replace(28, 16, reinterpret_cast<const char*>(&destination), 16);
    return frame;
}

inline std::string ip6Frame(const char* source, const char* destination, std::size_t size = 48)
{
    return ip6Frame(ip6(source), ip6(destination), size);
}

// The same frame carrying UDP: the payload length, next header 17 and hop
// limit 64 are set; the UDP header and payload are left zero.
inline std::string udpFrame(const in6_addr& source, const in6_addr& destination, std::size_t size)
{
    std::string frame = ip6Frame(source, destination, size);
    const std::size_t payload = size - 44;
    frame[8] = static_cast<char>(payload >> 8);
    frame[9] = static_cast<char>(payload & 0xff);
    frame[10] = 17;
    frame[11] = 64;
    return frame;
}

// The checksum of the upper-layer packet behind the 40-byte IPv6 header at
// ip6 (len bytes in all) as its definition gives it: pseudo-header and
// data, word by word, the upper layer's checksum field at fieldAt left out.
inline uint16_t definedChecksum(const unsigned char* ip6, std::size_t len, std::size_t fieldAt)
{
    uint32_t sum = static_cast<uint32_t>(len - 40) + ip6[6];
    for (std::size_t i = 8; i < len; i += 2)
        sum += i == 40 + fieldAt ? 0 : (ip6[i] << 8) + (i + 1 < len ? ip6[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// The identifier the broker derives for an endpoint that presents none:
// the CRC-32 of its address then port, both in network order.
inline uint32_t endpointCrc(in_addr address, uint16_t portNet)
{
    unsigned char endpoint[6];
    std::memcpy(endpoint, &address.s_addr, 4);
    std::memcpy(endpoint + 4, &portNet, 2);
    return static_cast<uint32_t>(crc32(0L, endpoint, sizeof(endpoint)));
}

inline uint32_t endpointCrc(const sockaddr_in& peer)
{
    return endpointCrc(peer.sin_addr, peer.sin_port);
}
