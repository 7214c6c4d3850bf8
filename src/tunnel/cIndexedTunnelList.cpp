#include "tunnel/cIndexedTunnelList.h"

#include "tunnel/cTunnel.h"
#include "tunnel/keyedHash.h"

#include <algorithm>
#include <cstring>

std::size_t cIndexedTunnelList::tKeyHash::operator()(const tKey& key) const
{
    return static_cast<std::size_t>(keyedHash(key.mLow ^ keyedHash(key.mHigh, mSeed), mSeed));
}

cIndexedTunnelList::tKey cIndexedTunnelList::keyOf(const void* sixteenBytes)
{
    tKey key;
    std::memcpy(&key.mHigh, sixteenBytes, sizeof(key.mHigh));
    std::memcpy(&key.mLow, static_cast<const char*>(sixteenBytes) + 8, sizeof(key.mLow));
    return key;
}

cIndexedTunnelList::cIndexedTunnelList()
    : mNextSeq(0), mByPeer(0, tKeyHash{hashSeed()}), mByAddress(0, tKeyHash{hashSeed()})
{
}

void cIndexedTunnelList::clear()
{
    mList.clear();
    mEntries.clear();
    mByPeer.clear();
    mByAddress.clear();
    mUnfinished.clear();
    mHeard.clear();
    mProtected.clear();
}

void cIndexedTunnelList::pushFront(cTunnel* tunnel)
{
    static_assert(sizeof(sockaddr_in) == 16, "a peer key is the whole sockaddr_in");
    // Every container grows first, so an allocation failure leaves the
    // table as it was.
    tEntry entry;
    entry.mSeq = mNextSeq;
    entry.mByAddress = false;
    entry.mAddress = tKey{0, 0};
    // Unfinished until update() sees otherwise.
    entry.mUnfinished = true;
    mList.push_front(tunnel);
    entry.mPos = mList.begin();
    try {
        auto placed = mEntries.emplace(tunnel, entry).first;
        try {
            mByPeer.emplace(keyOf(&tunnel->getPeer()), tunnel);
            mUnfinished.emplace(entry.mSeq, tunnel);
            update(tunnel);
        } catch (...) {
            mByPeer.erase(keyOf(&tunnel->getPeer()));
            if (placed->second.mUnfinished)
                mUnfinished.erase(entry.mSeq);
            else
                mHeard.erase(placed->second.mHeardPos);
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

void cIndexedTunnelList::remove(cTunnel* tunnel)
{
    auto found = mEntries.find(tunnel);
    if (found == mEntries.end())
        return;
    tEntry& entry = found->second;
    if (entry.mByAddress)
        unindexAddress(tunnel, entry);
    if (entry.mUnfinished)
        mUnfinished.erase(entry.mSeq);
    else
        mHeard.erase(entry.mHeardPos);
    if (entry.mProtected)
        unindexProtected(tunnel);
    auto byPeer = mByPeer.find(keyOf(&tunnel->getPeer()));
    if (byPeer != mByPeer.end() && byPeer->second == tunnel)
        mByPeer.erase(byPeer);
    mList.erase(entry.mPos);
    mEntries.erase(found);
}

cTunnel* cIndexedTunnelList::findByPeer(const sockaddr_in& peer) const
{
    auto found = mByPeer.find(keyOf(&peer));
    return found != mByPeer.end() ? found->second : nullptr;
}

cTunnel* cIndexedTunnelList::findEstablished(const unsigned char* address) const
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

cTunnel* cIndexedTunnelList::oldestUnfinished() const
{
    // Holds last only while the UDP worker handles one datagram, so the
    // scan passes over at most a few of them.
    for (const auto& unfinished : mUnfinished) {
        if (unfinished.second->getRefCount() == 0)
            return unfinished.second;
    }
    return nullptr;
}

cTunnel* cIndexedTunnelList::oldestUnfinishedOfferedBefore(long long time) const
{
    // Offers nearly always leave in the order the tunnels were made, so the
    // oldest one alone is looked at: a retried offer that keeps an older
    // tunnel young hides those behind it until it ages too.
    cTunnel* oldest = oldestUnfinished();
    return oldest != nullptr && oldest->getOfferTime() < time ? oldest : nullptr;
}

cTunnel* cIndexedTunnelList::longestSilent() const
{
    return mHeard.empty() ? nullptr : mHeard.front();
}

void cIndexedTunnelList::heard(const cTunnel* tunnel)
{
    auto found = mEntries.find(tunnel);
    if (found == mEntries.end() || found->second.mUnfinished)
        return;
    mHeard.splice(mHeard.end(), mHeard, found->second.mHeardPos);
}

void cIndexedTunnelList::update(const cTunnel* tunnel)
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
        // It completed on a datagram just heard: it joins the most recent.
        entry.mHeardPos = mHeard.insert(mHeard.end(), const_cast<cTunnel*>(tunnel));
        mUnfinished.erase(entry.mSeq);
        entry.mUnfinished = false;
    }
    // Protection is for good, and a protected tunnel keeps its identifier.
    if (!entry.mProtected && tunnel->isKeyProtected()) {
        mProtected.emplace(tunnel->getId(), tunnel);
        entry.mProtected = true;
    }
}

void cIndexedTunnelList::unindexProtected(const cTunnel* tunnel)
{
    auto range = mProtected.equal_range(tunnel->getId());
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == tunnel) {
            mProtected.erase(it);
            return;
        }
    }
}

bool cIndexedTunnelList::protectedElsewhere(unsigned id, const sockaddr_in& peer) const
{
    auto range = mProtected.equal_range(id);
    for (auto it = range.first; it != range.second; ++it)
        if (!it->second->samePeer(peer))
            return true;
    return false;
}

void cIndexedTunnelList::indexAddress(const cTunnel* tunnel, tEntry& entry)
{
    tKey address = keyOf(tunnel->getAddr());
    mByAddress[address].push_back(const_cast<cTunnel*>(tunnel));
    entry.mAddress = address;
    entry.mByAddress = true;
}

void cIndexedTunnelList::unindexAddress(const cTunnel* tunnel, tEntry& entry)
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

bool operator==(const std::list<cTunnel*>& list, const cIndexedTunnelList& table)
{
    return list.size() == table.size() && std::equal(list.begin(), list.end(), table.begin());
}

bool operator==(const cIndexedTunnelList& table, const std::list<cTunnel*>& list)
{
    return list == table;
}
