// The broker's routed prefixes: a pool cut into delegations of one length,
// each held by a tunnel identifier, so that the same identifier gets the
// same prefix on every setup, from any endpoint and after a restart (the
// table lives in a file). A new identifier takes the free delegation at
// the position it hashes to or the next free one after it; a full pool
// gives up the delegation of an identifier without a live tunnel that was
// heard from longest ago.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

class cDelegationTable {
public:
    struct sDelegation {
        uint32_t id;
        uint64_t index;      // its place in the pool
        long long lastHeard; // nanoseconds of CLOCK_MONOTONIC
    };
    using tIsLive = std::function<bool(uint32_t)>;

    // pool: "PREFIX/LEN"; each delegation delegationLen long (LEN to 64).
    // False with the reason in error.
    bool configure(const std::string& pool, unsigned delegationLen, std::string& error);
    bool enabled() const { return mEnabled; }
    const in6_addr& pool() const { return mPool; }
    unsigned poolLen() const { return mPoolLen; }
    unsigned delegationLen() const { return mDelegationLen; }
    // How many delegations the pool holds (saturating at 2^64 - 1).
    uint64_t capacity() const;
    std::size_t held() const { return mById.size(); }

    // The place that delegate() would give id now, without taking it; none
    // when every delegation is held by an identifier for which isLive is true.
    // At now a free place offered to another identifier a moment ago is
    // passed over while there is another, so that clients setting up at
    // once are not told one prefix.
    std::optional<uint64_t> placeFor(uint32_t id, const tIsLive& isLive, long long now = 0) const;
    void noteOffered(uint32_t id, uint64_t place, long long now);
    // The delegation of id, taking one when it has none (the table is then
    // unsaved); null when every delegation is held by a live identifier.
    // told: the prefix text the client was offered; taken when it is free.
    const sDelegation* delegate(uint32_t id, long long now, const tIsLive& isLive,
                                const char* told = nullptr);
    const sDelegation* find(uint32_t id) const;
    void heard(uint32_t id, long long now);
    bool inPool(const in6_addr& address) const;
    // The identifier whose delegation holds address; 0 for none.
    uint32_t holderOf(const in6_addr& address) const;
    // True when id holds the delegation that holds address.
    bool holds(uint32_t id, const unsigned char* address) const;
    in6_addr prefixOf(uint64_t index) const;
    // "2001:db8:100:2a::/64".
    std::string prefixText(uint64_t index) const;
    std::string prefixText(const sDelegation& delegation) const { return prefixText(delegation.index); }

    // One line a delegation: identifier, prefix/length, last heard in
    // seconds of the wall clock, which is wallOffset seconds ahead of the
    // monotonic one.
    std::string serialize(long long wallOffset) const;
    // Replaces the table with the lines of content; a line that names no
    // delegation of this pool (another pool or length, a place or an
    // identifier taken twice, a malformed line) is skipped and counted.
    std::size_t parse(const std::string& content, long long wallOffset);

    // Whether a delegation was taken or given up since the last
    // markSaved(): the file is then behind the table.
    bool unsaved() const { return mUnsaved; }
    void markSaved() { mUnsaved = false; }
    void markUnsaved() { mUnsaved = true; }
    // Requests that found every delegation held by a live tunnel.
    void noteRefused() { ++mRefusedSince; }
    unsigned long refused() const { return mRefusedSince; }
    unsigned long takeRefused()
    {
        unsigned long refused = mRefusedSince;
        mRefusedSince = 0;
        return refused;
    }

private:
    uint64_t indexOf(const in6_addr& address) const;
    uint64_t hashedPlace(uint32_t id) const;
    uint64_t freeIndexFrom(uint64_t start, uint32_t id, long long now) const;
    bool offeredToAnother(uint64_t place, uint32_t id, long long now) const;
    std::optional<uint64_t> toldPlace(const char* told) const;
    const sDelegation* oldestNotLive(const tIsLive& isLive) const;
    const sDelegation* take(uint32_t id, uint64_t index, long long now);

    bool mEnabled = false;
    in6_addr mPool{};
    unsigned mPoolLen = 0;
    unsigned mDelegationLen = 0;
    // Places come from identifiers a remote client chooses: the hash is
    // keyed, so nobody can aim many places at one bucket.
    struct tPlaceHash {
        std::size_t operator()(uint64_t place) const;
    };
    std::unordered_map<uint64_t, uint32_t, tPlaceHash> mByIndex;
    std::unordered_map<uint32_t, sDelegation> mById;
    bool mUnsaved = false;
    // The latest offers: a few, for a setup's few seconds.
    struct sOffer {
        uint32_t id;
        uint64_t place;
        long long at;
    };
    static constexpr std::size_t kOffersKept = 64;
    static constexpr long long kOfferHeld = 10000000000LL;
    std::deque<sOffer> mOffered;
    unsigned long mRefusedSince = 0;
};

// The broker's delegations; used under gTunnelsLock like the tunnel table.
extern cDelegationTable gDelegations;
