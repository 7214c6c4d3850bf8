// The container behind the broker's tunnel table: tunnels newest first, as a
// plain list, with indexes beside it so that a tunnel is found by its peer endpoint or by its
// address in constant time. The list's order alone decides every result but
// one; the indexes only shorten the way to it. That one is the order in which
// completed tunnels were last heard from, which the broker reports here.
// Callers hold gTunnelsLock.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <unordered_map>
#include <vector>

class cTunnel;

class cIndexedTunnelList {
public:
    // Read-only view of the list, front (newest) to back (oldest).
    using value_type = cTunnel*;
    using const_iterator = std::list<cTunnel*>::const_iterator;
    using iterator = const_iterator;

    cIndexedTunnelList();
    cIndexedTunnelList(const cIndexedTunnelList&) = delete;
    cIndexedTunnelList& operator=(const cIndexedTunnelList&) = delete;

    const_iterator begin() const { return mList.begin(); }
    const_iterator end() const { return mList.end(); }
    std::size_t size() const { return mList.size(); }
    bool empty() const { return mList.empty(); }
    cTunnel* front() const { return mList.front(); }

    // Forgets every tunnel without destroying any.
    void clear();

    // Puts a tunnel in front of all others.
    void pushFront(cTunnel* tunnel);
    // Takes a tunnel out of the table (it is not destroyed); a tunnel that is
    // not in the table is left alone.
    void remove(cTunnel* tunnel);

    // The tunnel of that endpoint (compared as all 16 bytes), or null.
    cTunnel* findByPeer(const sockaddr_in& peer) const;
    // The established tunnel nearest the front whose address is the 16
    // bytes at address, or null.
    cTunnel* findEstablished(const unsigned char* address) const;
    // True when a tunnel of another endpoint than peer holds id under its key.
    bool protectedElsewhere(unsigned id, const sockaddr_in& peer) const;
    // True when some tunnel holds id under its key.
    bool holdsProtected(unsigned id) const { return mProtected.count(id) != 0; }
    // The tunnel nearest the back that never completed the exchange and is
    // not held, or null.
    cTunnel* oldestUnfinished() const;
    // That same tunnel if its last offer left (or, without one, it was made)
    // before 'time'; null when it is younger or there is none.
    cTunnel* oldestUnfinishedOfferedBefore(long long time) const;
    // The completed tunnel heard from least recently, held or not, or null.
    cTunnel* longestSilent() const;

    // A datagram came from this tunnel: a completed one becomes the most
    // recently heard. Tunnels outside the list are ignored.
    void heard(const cTunnel* tunnel);

    // A tunnel of the list changed its state, address or completion: brings
    // the indexes up to date. Tunnels outside the list are ignored.
    void update(const cTunnel* tunnel);

private:
    struct tKey {
        uint64_t mHigh;
        uint64_t mLow;
        bool operator==(const tKey& other) const
        {
            return mHigh == other.mHigh && mLow == other.mLow;
        }
    };
    // Peers and addresses come from the network, so the hash is keyed with a
    // value chosen at start: nobody can aim many keys at one bucket.
    struct tKeyHash {
        uint64_t mSeed;
        std::size_t operator()(const tKey& key) const;
    };
    struct tEntry {
        std::list<cTunnel*>::iterator mPos;
        // Order of insertion: a larger value stands nearer the front.
        uint64_t mSeq;
        bool mByAddress;
        tKey mAddress;
        // In mUnfinished while set, else in mHeard at mHeardPos.
        bool mUnfinished;
        // In mProtected under its identifier once key-protected.
        bool mProtected = false;
        std::list<cTunnel*>::iterator mHeardPos;
    };

    static tKey keyOf(const void* sixteenBytes);
    void indexAddress(const cTunnel* tunnel, tEntry& entry);
    void unindexProtected(const cTunnel* tunnel);
    void unindexAddress(const cTunnel* tunnel, tEntry& entry);

    std::list<cTunnel*> mList;
    uint64_t mNextSeq;
    std::unordered_map<const cTunnel*, tEntry> mEntries;
    std::unordered_map<tKey, cTunnel*, tKeyHash> mByPeer;
    // Established tunnels by address; several may share one address.
    std::unordered_map<tKey, std::vector<cTunnel*>, tKeyHash> mByAddress;
    // Tunnels that never completed the exchange, oldest first.
    std::map<uint64_t, cTunnel*> mUnfinished;
    // Key-protected tunnels by identifier.
    std::unordered_multimap<unsigned, const cTunnel*> mProtected;
    // The others, least recently heard from first.
    std::list<cTunnel*> mHeard;
};

// Compares the table's order with a list of tunnels, front first.
bool operator==(const std::list<cTunnel*>& list, const cIndexedTunnelList& table);
bool operator==(const cIndexedTunnelList& table, const std::list<cTunnel*>& list);
