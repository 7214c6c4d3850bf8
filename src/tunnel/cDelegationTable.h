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
#include <functional>
#include <map>
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
    std::optional<uint64_t> placeFor(uint32_t id, const tIsLive& isLive) const;
    // The delegation of id, taking one when it has none (and telling the
    // saver); null when every delegation is held by a live identifier.
    const sDelegation* delegate(uint32_t id, long long now, const tIsLive& isLive);
    const sDelegation* find(uint32_t id) const;
    void heard(uint32_t id, long long now);
    bool inPool(const in6_addr& address) const;
    // The identifier whose delegation holds address; 0 for none.
    uint32_t holderOf(const in6_addr& address) const;
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

    // Called with the table whenever a delegation is taken or given up.
    void setSaver(std::function<void(const cDelegationTable&)> saver) { mSaver = std::move(saver); }
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
    uint64_t freeIndexFrom(uint64_t start) const;
    const sDelegation* oldestNotLive(const tIsLive& isLive) const;
    const sDelegation* take(uint32_t id, uint64_t index, long long now);

    bool mEnabled = false;
    in6_addr mPool{};
    unsigned mPoolLen = 0;
    unsigned mDelegationLen = 0;
    std::map<uint64_t, uint32_t> mByIndex;
    std::unordered_map<uint32_t, sDelegation> mById;
    std::function<void(const cDelegationTable&)> mSaver;
    unsigned long mRefusedSince = 0;
};

// The broker's delegations; used under gTunnelsLock like the tunnel table.
extern cDelegationTable gDelegations;
