#include "tunnel/cDelegationTable.h"

#include "log/logText.h"
#include "log/monotonicClock.h"
#include "tsp/prefixText.h"
#include "tunnel/keyedHash.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

uint64_t high64(const in6_addr& address)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | address.s6_addr[i];
    return v;
}

in6_addr fromHigh64(uint64_t v)
{
    in6_addr address{};
    for (int i = 7; i >= 0; --i, v >>= 8)
        address.s6_addr[i] = static_cast<uint8_t>(v);
    return address;
}

// A fixed seed, so that an identifier's first place is the same after a
// restart and on every broker with the same pool.
const uint64_t kPlaceSeed = 0x9e3779b97f4a7c15ULL;

} // namespace

cDelegationTable gDelegations;

std::size_t cDelegationTable::tPlaceHash::operator()(uint64_t place) const
{
    return static_cast<std::size_t>(keyedHash(place, hashSeed()));
}

bool cDelegationTable::configure(const std::string& pool, unsigned delegationLen,
                                 std::string& error)
{
    in6_addr prefix;
    unsigned len = 0;
    if (!parsePrefixText(pool.c_str(), prefix, len) || len > 64) {
        error = "'" + printableText(pool.c_str())
            + "' is no IPv6 prefix (PREFIX/LEN, no bits beyond LEN) with room for a /64";
        return false;
    }
    if (delegationLen < len || delegationLen > 64) {
        error = "the delegation length " + std::to_string(delegationLen) + " is outside "
            + std::to_string(len) + " to 64";
        return false;
    }
    mPool = prefix;
    mPoolLen = len;
    mDelegationLen = delegationLen;
    mEnabled = true;
    mByIndex.clear();
    mById.clear();
    return true;
}

uint64_t cDelegationTable::capacity() const
{
    unsigned bits = mDelegationLen - mPoolLen;
    return bits >= 64 ? ~0ULL : 1ULL << bits;
}

bool cDelegationTable::inPool(const in6_addr& address) const
{
    return mEnabled && samePrefix(address.s6_addr, mPool.s6_addr, mPoolLen);
}

uint64_t cDelegationTable::indexOf(const in6_addr& address) const
{
    unsigned bits = mDelegationLen - mPoolLen;
    uint64_t v = high64(address) >> (64 - mDelegationLen);
    return bits >= 64 ? v : v & ((1ULL << bits) - 1);
}

in6_addr cDelegationTable::prefixOf(uint64_t index) const
{
    uint64_t shifted = mDelegationLen == 0 ? 0 : index << (64 - mDelegationLen);
    return fromHigh64(high64(mPool) | shifted);
}

std::string cDelegationTable::prefixText(uint64_t index) const
{
    return ::prefixText(prefixOf(index), mDelegationLen);
}

bool cDelegationTable::holds(uint32_t id, const unsigned char* address) const
{
    in6_addr a;
    std::memcpy(&a, address, sizeof(a));
    const sDelegation* held = inPool(a) ? find(id) : nullptr;
    return held != nullptr && held->index == indexOf(a);
}

uint32_t cDelegationTable::holderOf(const in6_addr& address) const
{
    if (!inPool(address))
        return 0;
    auto it = mByIndex.find(indexOf(address));
    return it == mByIndex.end() ? 0 : it->second;
}

const cDelegationTable::sDelegation* cDelegationTable::find(uint32_t id) const
{
    auto it = mById.find(id);
    return it == mById.end() ? nullptr : &it->second;
}

void cDelegationTable::heard(uint32_t id, long long now)
{
    auto it = mById.find(id);
    if (it != mById.end())
        it->second.lastHeard = now;
}

uint64_t cDelegationTable::hashedPlace(uint32_t id) const
{
    uint64_t all = capacity();
    uint64_t h = keyedHash(id, kPlaceSeed);
    return all == ~0ULL ? h : h % all;
}

bool cDelegationTable::offeredToAnother(uint64_t place, uint32_t id, long long now) const
{
    return std::any_of(mOffered.begin(), mOffered.end(), [&](const sOffer& o) {
        return o.place == place && o.id != id && now - o.at < kOfferHeld;
    });
}

// The first free place at start or after it, round the end of the pool,
// passing over the places just offered to others while there is another;
// the caller knows that one is free.
uint64_t cDelegationTable::freeIndexFrom(uint64_t start, uint32_t id, long long now) const
{
    uint64_t last = capacity() - 1;
    uint64_t index = start;
    std::optional<uint64_t> firstFree;
    for (std::size_t step = 0; step <= mByIndex.size() + mOffered.size(); ++step) {
        if (mByIndex.count(index) == 0) {
            if (!offeredToAnother(index, id, now))
                return index;
            if (!firstFree)
                firstFree = index;
        }
        index = index == last ? 0 : index + 1;
    }
    return *firstFree;
}

void cDelegationTable::noteOffered(uint32_t id, uint64_t place, long long now)
{
    if (mOffered.size() >= kOffersKept)
        mOffered.pop_front();
    mOffered.push_back({id, place, now});
}

const cDelegationTable::sDelegation* cDelegationTable::take(uint32_t id, uint64_t index,
                                                            long long now)
{
    mByIndex[index] = id;
    return &(mById[id] = sDelegation{id, index, now});
}

const cDelegationTable::sDelegation* cDelegationTable::oldestNotLive(const tIsLive& isLive) const
{
    const sDelegation* oldest = nullptr;
    for (const auto& entry : mById)
        if ((oldest == nullptr || entry.second.lastHeard < oldest->lastHeard) && !isLive(entry.first))
            oldest = &entry.second;
    return oldest;
}

std::optional<uint64_t> cDelegationTable::placeFor(uint32_t id, const tIsLive& isLive,
                                                   long long now) const
{
    if (!mEnabled || id == 0)
        return std::nullopt;
    if (const sDelegation* held = find(id))
        return held->index;
    if (mById.size() < capacity())
        return freeIndexFrom(hashedPlace(id), id, now);
    const sDelegation* oldest = oldestNotLive(isLive);
    if (oldest == nullptr)
        return std::nullopt;
    return oldest->index;
}

const cDelegationTable::sDelegation* cDelegationTable::delegate(uint32_t id, long long now,
                                                                const tIsLive& isLive,
                                                                const char* told)
{
    auto it = mById.find(id);
    if (it != mById.end()) {
        it->second.lastHeard = now;
        return &it->second;
    }
    std::optional<uint64_t> place = toldPlace(told);
    if (!place)
        place = placeFor(id, isLive, now);
    if (!place)
        return nullptr;
    auto holder = mByIndex.find(*place);
    if (holder != mByIndex.end())
        mById.erase(holder->second);
    const sDelegation* taken = take(id, *place, now);
    mUnsaved = true;
    return taken;
}

// The place of the prefix a client was told, when it is a free one of this
// pool: a client that accepts takes what it was offered.
std::optional<uint64_t> cDelegationTable::toldPlace(const char* told) const
{
    in6_addr prefix;
    unsigned len = 0;
    if (told == nullptr || !parsePrefixText(told, prefix, len) || len != mDelegationLen
        || !inPool(prefix) || mByIndex.count(indexOf(prefix)) != 0)
        return std::nullopt;
    return indexOf(prefix);
}

std::string cDelegationTable::serialize(long long wallOffset) const
{
    std::vector<const sDelegation*> inOrder;
    for (const auto& entry : mById)
        inOrder.push_back(&entry.second);
    std::sort(inOrder.begin(), inOrder.end(),
              [](const sDelegation* a, const sDelegation* b) { return a->index < b->index; });
    std::ostringstream out;
    for (const sDelegation* held : inOrder) {
        const sDelegation& d = *held;
        out << d.id << ' ' << prefixText(d) << ' ' << wholeSeconds(d.lastHeard) + wallOffset << '\n';
    }
    return out.str();
}

std::size_t cDelegationTable::parse(const std::string& content, long long wallOffset)
{
    mByIndex.clear();
    mById.clear();
    std::istringstream in(content);
    std::string line;
    std::size_t skipped = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        unsigned long long id = 0;
        std::string prefix, rest;
        long long lastHeard = 0;
        bool read = static_cast<bool>(fields >> id >> prefix >> lastHeard) && !(fields >> rest);
        in6_addr address;
        unsigned len = 0;
        bool usable = read && id != 0 && id <= UINT32_MAX
            && parsePrefixText(prefix.c_str(), address, len) && len == mDelegationLen && inPool(address)
            && mById.count(static_cast<uint32_t>(id)) == 0 && mByIndex.count(indexOf(address)) == 0;
        if (!usable) {
            skipped += line.empty() ? 0 : 1;
            continue;
        }
        take(static_cast<uint32_t>(id), indexOf(address), (lastHeard - wallOffset) * kNanosPerSecond);
    }
    return skipped;
}
