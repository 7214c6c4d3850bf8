#include "tunnel/cTunnelTable.h"

#include "tunnel/cTunnel.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>
#include <random>

namespace {

uint64_t mix(uint64_t x)
{
    // The finaliser of splitmix64: every input bit reaches every output bit.
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

uint64_t drawSeed()
{
    try {
        std::random_device source;
        return (static_cast<uint64_t>(source()) << 32) ^ source();
    } catch (const std::exception&) {
        // No entropy source: the clock still keeps the seed from being known
        // in advance.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return mix(static_cast<uint64_t>(now.tv_sec) * 1000000000ULL
                   + static_cast<uint64_t>(now.tv_nsec));
    }
}

// One draw, shared by both indexes. Drawn on first use: the table itself is
// built during static initialisation, possibly before this file's globals.
uint64_t seed()
{
    static const uint64_t drawn = drawSeed();
    return drawn;
}

} // namespace

std::size_t cTunnelTable::tKeyHash::operator()(const tKey& key) const
{
    return static_cast<std::size_t>(mix(key.mHigh ^ mSeed) ^ mix(key.mLow + mSeed));
}

cTunnelTable::tKey cTunnelTable::keyOf(const void* sixteenBytes)
{
    tKey key;
    std::memcpy(&key.mHigh, sixteenBytes, sizeof(key.mHigh));
    std::memcpy(&key.mLow, static_cast<const char*>(sixteenBytes) + 8, sizeof(key.mLow));
    return key;
}

cTunnelTable::cTunnelTable()
    : mNextSeq(0), mByPeer(0, tKeyHash{seed()}), mByAddress(0, tKeyHash{seed()})
{
}

void cTunnelTable::clear()
{
    mList.clear();
    mEntries.clear();
    mByPeer.clear();
    mByAddress.clear();
    mUnfinished.clear();
}

void cTunnelTable::pushFront(cTunnel* tunnel)
{
    static_assert(sizeof(sockaddr_in) == 16, "a peer key is the whole sockaddr_in");
    // Every container grows first, so an allocation failure leaves the
    // table as it was.
    tEntry entry;
    entry.mSeq = mNextSeq;
    entry.mByAddress = false;
    entry.mAddress = tKey{0, 0};
    entry.mUnfinished = !tunnel->hasCompleted();
    mList.push_front(tunnel);
    entry.mPos = mList.begin();
    try {
        auto placed = mEntries.emplace(tunnel, entry).first;
        try {
            mByPeer.emplace(keyOf(&tunnel->getPeer()), tunnel);
            if (entry.mUnfinished)
                mUnfinished.emplace(entry.mSeq, tunnel);
            update(tunnel);
        } catch (...) {
            mByPeer.erase(keyOf(&tunnel->getPeer()));
            mUnfinished.erase(entry.mSeq);
            if (placed->second.mByAddress)
                unindexAddress(tunnel, placed->second);
            mEntries.erase(placed);
            throw;
        }
    } catch (...) {
        mList.pop_front();
        throw;
    }
    ++mNextSeq;
}

void cTunnelTable::remove(cTunnel* tunnel)
{
    auto found = mEntries.find(tunnel);
    if (found == mEntries.end())
        return;
    tEntry& entry = found->second;
    if (entry.mByAddress)
        unindexAddress(tunnel, entry);
    if (entry.mUnfinished)
        mUnfinished.erase(entry.mSeq);
    auto byPeer = mByPeer.find(keyOf(&tunnel->getPeer()));
    if (byPeer != mByPeer.end() && byPeer->second == tunnel)
        mByPeer.erase(byPeer);
    mList.erase(entry.mPos);
    mEntries.erase(found);
}

cTunnel* cTunnelTable::findByPeer(const sockaddr_in& peer) const
{
    auto found = mByPeer.find(keyOf(&peer));
    return found != mByPeer.end() ? found->second : nullptr;
}

cTunnel* cTunnelTable::findEstablished(const unsigned char* address) const
{
    auto found = mByAddress.find(keyOf(address));
    if (found == mByAddress.end())
        return nullptr;
    // Nearly always one tunnel; several only while clients that share an
    // identifier have not been cleaned up yet.
    cTunnel* nearest = nullptr;
    uint64_t nearestSeq = 0;
    for (cTunnel* t : found->second) {
        uint64_t seq = mEntries.at(t).mSeq;
        if (nearest == nullptr || seq > nearestSeq) {
            nearest = t;
            nearestSeq = seq;
        }
    }
    return nearest;
}

cTunnel* cTunnelTable::oldestUnfinished() const
{
    // Holds last only while the UDP worker handles one datagram, so the
    // scan passes over at most a few of them.
    for (const auto& unfinished : mUnfinished) {
        if (unfinished.second->getRefCount() == 0)
            return unfinished.second;
    }
    return nullptr;
}

void cTunnelTable::update(const cTunnel* tunnel)
{
    auto found = mEntries.find(tunnel);
    if (found == mEntries.end())
        return;
    tEntry& entry = found->second;
    if (entry.mByAddress
        && (!tunnel->isEstablished() || !(entry.mAddress == keyOf(tunnel->getAddr()))))
        unindexAddress(tunnel, entry);
    if (!entry.mByAddress && tunnel->isEstablished())
        indexAddress(tunnel, entry);
    if (entry.mUnfinished && tunnel->hasCompleted()) {
        mUnfinished.erase(entry.mSeq);
        entry.mUnfinished = false;
    }
}

void cTunnelTable::indexAddress(const cTunnel* tunnel, tEntry& entry)
{
    tKey address = keyOf(tunnel->getAddr());
    mByAddress[address].push_back(const_cast<cTunnel*>(tunnel));
    entry.mAddress = address;
    entry.mByAddress = true;
}

void cTunnelTable::unindexAddress(const cTunnel* tunnel, tEntry& entry)
{
    auto bucket = mByAddress.find(entry.mAddress);
    if (bucket != mByAddress.end()) {
        std::vector<cTunnel*>& sharing = bucket->second;
        sharing.erase(std::remove(sharing.begin(), sharing.end(), tunnel), sharing.end());
        if (sharing.empty())
            mByAddress.erase(bucket);
    }
    entry.mByAddress = false;
}

bool operator==(const std::list<cTunnel*>& list, const cTunnelTable& table)
{
    return list.size() == table.size() && std::equal(list.begin(), list.end(), table.begin());
}

bool operator==(const cTunnelTable& table, const std::list<cTunnel*>& list)
{
    return list == table;
}
