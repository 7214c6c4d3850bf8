// Fuzz target: broker mode's handling of client datagrams
// (cBrokerMode::handleUdpDatagram) through the in-memory packet host.
//
// Input: prefix length, keepalive floor, table limit (1 + low four bits;
// bit 4: keys required), twelve prefix bytes; then datagrams from sixteen
// endpoints, one second apart (the setup rate never holds an offer back).
// Selector bits 4-5 add a "tunnelkey" tag (1 valid, 2 empty, 3 wrong); an
// accept with one first says its last offer's identifier and keepalive.
//
// Checked after each datagram: the table (one tunnel per endpoint, within
// its limit, no hold left, addresses from the prefix and identifier, the
// shared prefix unchanged, key-protected tunnels gone only for their key or
// an eviction, refusals only at a full table); a request's one offer; an
// established tunnel's echo or relay (only its own IPv6 packets, to the
// destination's owner or the TUN device); and that nothing else leaves.
#include "cFuzzInput.h"
#include "fuzzSupport.h"
#include "memoryPacketHost.h"
#include "setupMessages.h"
#include "tunnelTableReset.h"

#include "broker/cBrokerMode.h"
#include "log/logText.h"
#include "log/monotonicClock.h"
#include "packet/frame.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"
#include "tunnel/tunnelKey.h"
#include "tunnel/tunnelTable.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace {

const int kMaxDatagrams = 64;

struct sInput {
    in6_addr prefix;
    uint8_t prefixLen;
    uint32_t floor;
    std::size_t limit;
    bool keysRequired;
    // Each endpoint's last offer (identifier, keepalive), as its client keeps it.
    std::map<std::string, std::pair<unsigned, unsigned>> offers;
};

struct sProtected { sockaddr_in peer; unsigned id; };

bool validKey(unsigned id, const char* key) { return key != nullptr && tunnelKeyFor(id) == key; }

// One datagram: its sender and bytes, the table before it (the key-protected
// tunnels; its size unless the sender had a tunnel), and what it let out.
struct sStep {
    sockaddr_in sender;
    std::string bytes;
    std::vector<sProtected> before;
    std::size_t sizeBefore = 0;
    bool established = false, evicted = false, refused = false;
    cMemoryPacketHost out;

    bool nothingOut() const { return out.datagrams.empty() && out.frames.empty(); }
    bool onlySent(const std::string& what, const sockaddr_in& peer) const
    {
        const auto& sent = out.datagrams;
        return out.frames.empty() && sent.size() == 1 && sent[0].bytes == what && sameEndpoint(sent[0].to, peer);
    }
    // Whether another endpoint holds id under its key.
    bool heldElsewhere(unsigned id) const
    {
        return std::any_of(before.begin(), before.end(),
                           [&](const sProtected& p) { return p.id == id && !sameEndpoint(p.peer, sender); });
    }
};

// 192.0.2.1 to 192.0.2.4, ports 5000 to 5003.
sockaddr_in endpointFor(uint8_t selector)
{
    uint16_t port = htons(static_cast<uint16_t>(5000 + (selector & 3)));
    return sockaddr_in{AF_INET, port, {htonl(0xc0000200u + 1 + ((selector >> 2) & 3))}, {}};
}

in6_addr expectedAddr(const sInput& in, unsigned id)
{
    in6_addr addr = {};
    std::memcpy(addr.s6_addr, in.prefix.s6_addr, std::min<std::size_t>(in.prefixLen / 8, 16));
    for (int i = 0; i < 4; ++i)
        addr.s6_addr[12 + i] = static_cast<uint8_t>(id >> (24 - 8 * i));
    return addr;
}

// The datagram with the key tag its selector asks for, while it still fits.
std::string withKey(sInput& in, const sFuzzDatagram& d, const sockaddr_in& sender)
{
    int choice = (d.selector >> 4) & 3;
    std::string bytes(d.bytes.begin(), d.bytes.end());
    if (choice == 0)
        return bytes;
    if (!bytes.empty() && bytes.back() != '\0')
        bytes.push_back('\0');
    cTSPMsg base(bytes.data(), static_cast<int>(bytes.size()), cTSPMsg::sQuietCopy{});
    std::pair<unsigned, unsigned> offer = in.offers[endpointText(sender)]; // {0, 0} before any
    unsigned id = base.getType() == TSP_REQUEST ? base.getTunnelId() : offer.first;
    std::string key = choice == 2 ? std::string() : tunnelKeyFor(id);
    if (choice == 3)
        key[0] = key[0] == '0' ? '1' : '0';
    std::string keyTag = "tunnelkey=" + key;
    std::string tags = base.getType() != TSP_ACCEPT ? tspBytes({keyTag})
        : tspBytes({"tunnelid=" + std::to_string(id), "keepalive=" + std::to_string(offer.second), keyTag});
    bytes += tags;
    return bytes.size() <= cFuzzInput::kMaxDatagram ? bytes : std::string(d.bytes.begin(), d.bytes.end());
}

void checkOffer(sInput& in, const cTSPMsg& said, const sStep& step)
{
    fuzzCheck(step.out.datagrams.size() == 1 && sameEndpoint(step.out.datagrams[0].to, step.sender),
              "a request got no offer to its sender, or more");
    const std::string& bytes = step.out.datagrams[0].bytes;
    cTSPMsg offer(bytes.data(), static_cast<int>(bytes.size()), cTSPMsg::sQuietCopy{});
    unsigned id = offer.getTunnelId();
    bool keyed = said.getTunnelKey() != nullptr;
    std::string keyTag = keyed ? tspBytes({"tunnelkey=" + tunnelKeyFor(id)}) : "";
    fuzzCheck(bytes.size() <= kLongestOffer + keyTag.size(), "offer longer than 162 bytes and its key tag");
    std::size_t tagAt = bytes.size() - keyTag.size();
    fuzzCheck(!keyed || (bytes.size() > keyTag.size() && bytes.compare(tagAt, keyTag.size(), keyTag) == 0),
              "a keyed request's offer does not end with its identifier's key");
    fuzzCheck(keyed || offer.getTunnelKey() == nullptr, "an offer carries a key nobody asked for");
    fuzzCheck(offer.getType() == TSP_OFFER, "reply to a request is no offer");
    fuzzCheck(!step.heldElsewhere(id) || validKey(id, said.getTunnelKey()) || step.evicted,
              "an offer hands out a key-protected identifier without its key");
    unsigned asked = said.getTunnelId();
    bool mayTake = asked != 0 && !identifierReserved(asked)
        && (validKey(asked, said.getTunnelKey()) || (!in.keysRequired && !step.heldElsewhere(asked)));
    fuzzCheck(!mayTake || id == asked, "an offer refuses an identifier the request may take");
    fuzzCheck(offer.getKeepalive() == std::max(said.getKeepalive(), in.floor), "offer carries another keepalive");
    fuzzCheck(offer.getPrefixLen() == in.prefixLen && sameIp6(offer.getPrefix(), &in.prefix),
              "offer carries another prefix");
    in6_addr addr = expectedAddr(in, id);
    fuzzCheck(sameIp6(offer.getAddr(), &addr), "offer carries another address");
    if (const cTunnel* t = gTunnels.findByPeer(step.sender)) {
        fuzzCheck(t->getId() == id && t->getState() == TUNNEL_OFFERED, "the offer is not the tunnel's");
        for (const cTunnel* other : gTunnels)
            fuzzCheck(other == t || id != asked || other->getId() != id,
                      "a stale tunnel survived its identifier's request");
    }
    in.offers[endpointText(step.sender)] = {id, offer.getKeepalive()};
}

// An established tunnel's datagram: echoed, relayed, or refused.
void checkRelay(const sStep& step, const cTunnel* tunnel)
{
    const char* frame = step.bytes.data();
    int n = static_cast<int>(step.bytes.size());
    if (n <= kKeepaliveMax) {
        fuzzCheck(step.onlySent(step.bytes, step.sender), "a keepalive was not echoed unchanged");
        return;
    }
    const unsigned char* source = frameAddress(frame, n, kSourceAt);
    bool linkLocal = source != nullptr && source[0] == 0xfe && (source[1] & 0xc0) == 0x80;
    if (!holdsIp6Packet(frame, n) || linkLocal || !sameIp6(source, tunnel->getAddr())
        || sameIp6(source, &in6addr_any)) {
        fuzzCheck(step.nothingOut(), "refused data reached the TUN device or a peer");
        return;
    }
    const unsigned char* destination = frameAddress(frame, n, kDestinationAt);
    auto owner = std::find_if(gTunnels.begin(), gTunnels.end(), [&](const cTunnel* t) {
        return destination != nullptr && t->isEstablished() && sameIp6(t->getAddr(), destination);
    });
    if (owner == gTunnels.end())
        fuzzCheck(step.out.datagrams.empty() && step.out.frames == std::vector<std::string>{step.bytes},
                  "data did not reach the TUN device alone");
    else
        fuzzCheck(step.onlySent(step.bytes, (*owner)->getPeer()),
                  "a frame for an established tunnel did not go to it alone");
}

void checkTable(const sInput& in, const cTSPMsg& said, const sStep& step)
{
    fuzzCheck(sameIp6(&gIp6Prefix, &in.prefix) && gIp6PrefixLen == in.prefixLen,
              "the broker's shared prefix changed");
    fuzzCheck(gTunnels.size() <= in.limit, "the table holds more tunnels than its limit");
    for (auto a = gTunnels.begin(); a != gTunnels.end(); ++a) {
        for (auto b = std::next(a); b != gTunnels.end(); ++b)
            fuzzCheck(!(*a)->samePeer((*b)->getPeer()), "two tunnels for one endpoint");
        fuzzCheck((*a)->getRefCount() == 0, "a hold is left after the datagram");
        in6_addr addr = expectedAddr(in, (*a)->getId());
        fuzzCheck(sameIp6((*a)->getAddr(), &in6addr_any) || sameIp6((*a)->getAddr(), &addr),
                  "a tunnel's address is not the prefix and its identifier");
    }
    bool setup = said.getType() == TSP_REQUEST || said.getType() == TSP_ACCEPT;
    for (const sProtected& p : step.before)
        if (gTunnels.findByPeer(p.peer) == nullptr && !step.evicted)
            fuzzCheck(setup && said.getTunnelId() == p.id && !sameEndpoint(p.peer, step.sender)
                          && validKey(p.id, said.getTunnelKey()),
                      "a key-protected tunnel went without its key");
}

void handleDatagram(sInput& in, cBrokerMode& mode, const sFuzzDatagram& d, long long now)
{
    sStep step;
    step.sender = endpointFor(d.selector);
    step.bytes = withKey(in, d, step.sender);
    int n = static_cast<int>(step.bytes.size());
    cTSPMsg said(step.bytes.data(), n, cTSPMsg::sQuietCopy{});
    {
        std::lock_guard<std::mutex> hold(gTunnelsLock);
        for (const cTunnel* t : gTunnels)
            if (t->isKeyProtected())
                step.before.push_back({t->getPeer(), t->getId()});
        const cTunnel* t = gTunnels.findByPeer(step.sender);
        step.established = t != nullptr && t->isEstablished();
        step.sizeBefore = t == nullptr ? gTunnels.size() : 0;
    }
    unsigned long evictedBefore = mode.evictedTunnels(), refusedBefore = mode.refusedEndpoints();
    mode.handleUdpDatagram(step.out, exactCopy(step.bytes.data(), n).get(), n, step.sender, now);
    step.evicted = mode.evictedTunnels() != evictedBefore;
    step.refused = mode.refusedEndpoints() != refusedBefore;
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    const cTunnel* tunnel = gTunnels.findByPeer(step.sender);
    fuzzCheck(mode.heldOffers() == 0, "an offer was held back within the setup rate");
    fuzzCheck(!step.evicted || step.sizeBefore >= in.limit, "a tunnel was evicted from a table with room");
    fuzzCheck(!step.refused || (step.sizeBefore >= in.limit && tunnel == nullptr && step.nothingOut()),
              "a refused endpoint has a tunnel, got an answer, or there was room");
    checkTable(in, said, step);
    if (step.established)
        checkRelay(step, tunnel);
    else if (said.getType() == TSP_REQUEST && !step.refused)
        checkOffer(in, said, step);
    else
        fuzzCheck(step.nothingOut(), "something that is no request or data left the broker");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    initializeFuzzing(FUZZ_LOGS_QUIET);
    // A fixed secret, so that a reproducer replays with the same keys.
    const unsigned char secret[kBrokerSecretLen] = {0x5a, 0xa5};
    setTunnelKeySecret(secret);
    fuzzCheck(tunnelKeysEnabled(), "cannot set the broker's secret");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    cFuzzInput input(data, size);
    sInput in;
    in.prefixLen = input.byte();
    in.floor = input.byte();
    uint8_t limit = input.byte();
    in.limit = 1 + limit % 16;
    in.keysRequired = (limit & 0x10) != 0;
    in.prefix = ip6("2001:db8::"); // the documentation prefix, the rest from the input
    for (int i = 4; i < 16; ++i)
        in.prefix.s6_addr[i] = input.byte();
    setTunnelKeysRequired(in.keysRequired);
    setSharedPrefix(in.prefix, in.prefixLen);
    setSharedKeepalive(in.floor);
    // The broker's defaults but for the table's limit.
    cBrokerMode mode(sBrokerModeSettings{static_cast<int>(in.limit), 20, true, false, false, 1400});
    sFuzzDatagram d;
    for (int i = 1; i <= kMaxDatagrams && input.nextDatagram(d); ++i)
        handleDatagram(in, mode, d, (1000 + i) * kNanosPerSecond);
    // Every input starts from an empty table (the process starts with one),
    // which keeps runs fast.
    resetTunnelTable();
    return 0;
}
