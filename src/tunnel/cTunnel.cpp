#include "tunnel/cTunnel.h"

#include "tsp/prefixText.h"

#include "log/logText.h"
#include "log/monotonicClock.h"
#include "tunnel/tunnelTable.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <cstring>

cTunnel::cTunnel(long long now)
    : cWlog("cTunnel"), mRefCount(0), mState(TUNNEL_NEW), mId(0), mKeepalive(0),
      mLastActivity(now), mFromPeer(false), mCompleted(false), mOfferSent(false),
      mOfferTime(mLastActivity), mUsesKey(false), mKeyProtected(false)
{
    std::memset(&mPeer, 0, sizeof(mPeer));
    std::memset(&mAddr, 0, sizeof(mAddr));
}

cTunnel::cTunnel(const sockaddr_in& peer) : cTunnel(peer, monotonicNanoseconds()) {}

cTunnel::cTunnel(const sockaddr_in& peer, long long now)
    : cWlog("cTunnel"), mRefCount(0), mState(TUNNEL_NEW), mId(0), mKeepalive(0),
      mLastActivity(now), mFromPeer(true), mCompleted(false), mOfferSent(false), mOfferTime(now),
      mUsesKey(false), mKeyProtected(false)
{
    std::memcpy(&mPeer, &peer, sizeof(mPeer));
    std::memset(&mAddr, 0, sizeof(mAddr));
}

bool cTunnel::samePeer(sockaddr_in peer) const
{
    return std::memcmp(&mPeer, &peer, sizeof(mPeer)) == 0;
}

void cTunnel::addRef()
{
    ++mRefCount;
}

void cTunnel::release()
{
    if (mRefCount <= 0) {
        mError << "Somebody is double releasing here" << std::endl;
        return;
    }
    --mRefCount;
}

bool cTunnel::isEstablished() const
{
    return mState == TUNNEL_ESTABLISHED;
}

void cTunnel::touch(long long now)
{
    // Heard, whatever its state; the activity that ages it needs a keepalive.
    mLastHeard = now;
    if (mKeepalive == 0)
        return;
    mLastActivity = now;
}

bool cTunnel::isExpired(long long now) const
{
    if (mKeepalive == 0)
        return false;
    return wholeSeconds(mLastActivity) + static_cast<long long>(mKeepalive) < wholeSeconds(now);
}

unsigned cTunnel::endpointCrc() const
{
    // The endpoint as stored: address then port, both in network order.
    unsigned char endpoint[6];
    std::memcpy(endpoint, &mPeer.sin_addr.s_addr, 4);
    std::memcpy(endpoint + 4, &mPeer.sin_port, 2);
    return static_cast<unsigned>(crc32(0L, endpoint, sizeof(endpoint)));
}

// Nobody gets a key-protected identifier by choosing where it sends from:
// where another endpoint holds this endpoint's identifier under its key, or
// it would land on a reserved address, the CRC goes on over a count byte
// until it finds one that is free.
unsigned cTunnel::endpointIdentifier() const
{
    uLong crc = endpointCrc();
    for (unsigned char round = 1; crc != 0 && round != 0
         && (gTunnels.protectedElsewhere(static_cast<unsigned>(crc), mPeer)
             || identifierReserved(static_cast<unsigned>(crc)));
         ++round)
        crc = crc32(crc, &round, 1);
    return static_cast<unsigned>(crc);
}

in6_addr tunnelAddressFor(unsigned id)
{
    in6_addr address = {};
    unsigned char* addr = address.s6_addr;
    // Only whole prefix bytes are copied. The length is 8 bits wide and may
    // say more than 128; such a prefix is clipped to the 16 bytes it has.
    std::size_t whole = gIp6PrefixLen / 8;
    if (whole > sizeof(address.s6_addr))
        whole = sizeof(address.s6_addr);
    std::memcpy(addr, gIp6Prefix.s6_addr, whole);
    addr[12] = static_cast<unsigned char>(id >> 24);
    addr[13] = static_cast<unsigned char>(id >> 16);
    addr[14] = static_cast<unsigned char>(id >> 8);
    addr[15] = static_cast<unsigned char>(id);
    return address;
}

// The broker's own TUN address (the prefix ending in 1) and the prefix's
// all-zero host address (the subnet-router anycast address) are nobody's
// tunnel, whatever the prefix length.
namespace {

unsigned sharedPrefixBits()
{
    return gIp6PrefixLen < 128 ? gIp6PrefixLen : 128;
}

// Byte i of the shared prefix with the bits beyond its length cleared.
unsigned char prefixByte(unsigned i)
{
    unsigned bits = sharedPrefixBits();
    unsigned kept = bits >= 8 * (i + 1) ? 8 : bits > 8 * i ? bits - 8 * i : 0;
    return static_cast<unsigned char>(gIp6Prefix.s6_addr[i] & (0xff00u >> kept));
}

} // namespace

bool identifierReserved(unsigned id)
{
    in6_addr candidate = tunnelAddressFor(id);
    return addressReserved(candidate.s6_addr);
}

bool addressReserved(const unsigned char* address)
{
    in6_addr own = gIp6Prefix;
    own.s6_addr[15] = 1;
    in6_addr anycast = {};
    for (unsigned i = 0; i < 16; ++i)
        anycast.s6_addr[i] = prefixByte(i);
    return std::memcmp(address, &own, sizeof(own)) == 0
        || std::memcmp(address, &anycast, sizeof(anycast)) == 0;
}

bool inSharedPrefix(const unsigned char* address)
{
    return samePrefix(address, gIp6Prefix.s6_addr, sharedPrefixBits());
}

void cTunnel::assignAddress()
{
    if (mId == 0)
        mId = endpointCrc();
    mAddr = tunnelAddressFor(mId);

    mInfo << "TunnelId: 0x" << hexText(mId) << std::endl;
    mInfo << "Generated: '" << ip6Text(mAddr) << "'" << std::endl;
}
