// Fuzz target: broker mode's handling of datagrams from clients
// (cBrokerMode::handleUdpDatagram) on the tunnel table.
//
// Input: a header (prefix length, keepalive floor, table limit, twelve bytes
// of prefix) and then datagrams from sixteen endpoints (four addresses, four
// ports, so that senders meet again). The table limit is 1 to 16 (the low
// four bits of its byte), so that new endpoints also meet a full table; bit
// 4 of that byte makes tunnel keys required. Bits 4 and 5 of a datagram's
// selector add a "tunnelkey" tag after its last string: 1 the valid key, 2
// an empty one, 3 the valid one with its first digit changed. The key is
// that of the identifier a request presents, else that of the sender's
// tunnel or of the offer it last got, as a client repeats the offer's key
// in its accept; an accept with a key tag says that identifier and
// keepalive in tags before it. The broker's secret is fixed. Each datagram
// reaches a broker mode of its own for the input, one second after the one
// before, so the setup rate never holds an offer back.
//
// Stand-ins: the broker's UDP socket is one end of a sequenced-packet socket
// pair, which ignores the destination of a send, so every offer, echo and
// forward stays in the process and is read back whole while the senders keep
// their documentation addresses; the TUN descriptor is one end of a datagram
// socket pair.
//
// A model of the table kept here from the exchange's rules is compared with
// the real table after every datagram: the same endpoints in the same order
// (newest first, one tunnel per endpoint, never more than the limit; a new
// endpoint's keyed request is answered without a tunnel, its accept with the
// offered identifier's valid key sets up a completed, key-protected one; at
// the limit a setup's stale tunnels go first, then the victims in the broker's
// order: an unfinished tunnel without an offer for over 10 s, the completed
// tunnel silent longest once beyond its keepalive, the oldest unfinished;
// evictions and refusals counted), states, completion, key protection,
// identifiers, keepalives, times of the last offer and activity, and
// addresses (inside the prefix, with the identifier in the last four bytes);
// no hold left after the datagram; the shared prefix and
// length as set at start; and no other endpoint keeps an identifier that a
// request or keyed accept has just taken. A key-protected tunnel stays
// unless the datagram was a request or an accept from another endpoint
// presenting its identifier with its valid key, or the table's policy
// evicted it. What was sent is checked too: a request gets one offer with
// the model's values, never a key-protected identifier of another endpoint
// without its key, ending with the key of its identifier exactly when the
// request carried a key tag; a
// keepalive-sized datagram of an
// established tunnel is echoed; a longer one that holds a whole IPv6 packet
// from the tunnel's own address reaches the TUN device whole (anything else
// nowhere), and is forwarded exactly when an established tunnel owns its
// destination;
// anything else sends nothing.
#include "cFuzzInput.h"
#include "fuzzSupport.h"

#include "broker/cBrokerMode.h"
#include "config/cConfig.h"
#include "log/logText.h"
#include "log/monotonicClock.h"
#include "main/cBroker.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"
#include "packet/frame.h"
#include "tunnel/tunnelKey.h"
#include "tunnel/tunnelTable.h"
#include "tunnelTableReset.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

const std::size_t kLongestOffer = 162;
const int kMaxDatagrams = 64;
const int kLargestLimit = 16;

struct sModelTunnel {
    sockaddr_in peer;
    int state;
    unsigned id;
    unsigned keepalive;
    bool addressed; // a request has given it an address
    bool completed; // an accept answered an offer that left
    bool offered;   // an offer left for it
    long long offerTime; // seconds: its last offer, or its creation
    long long activity;  // seconds: as cTunnel::touch keeps it
    long long heard;     // seconds: its last datagram
    bool usesKey;        // its last request carried a key tag
    bool keyProtected;   // an accept carried its identifier's valid key
};

// A client sets up again this often; an unfinished tunnel without an offer
// for longer has been given up.
const long long kRetrySeconds = 10;

// Newest first, as the table.
std::vector<sModelTunnel> gModel;
std::size_t gLimit;
unsigned long gEvicted;
unsigned long gRefused;
in6_addr gStartPrefix;
uint8_t gStartPrefixLen;
bool gKeysRequired;
// What the datagram in hand did: the identifier its request took (0: none)
// and the endpoints whose tunnels the table's policy evicted for it.
unsigned gTaken;
std::vector<sockaddr_in> gEvictedPeers;
// The offer each endpoint last got (the newest one last), as its client
// keeps it for the accept.
std::vector<sModelTunnel> gOffers;

// The stand-ins' two ends: [0] the broker's, [1] read here.
int gUdp[2];
int gTun[2];
// One broker per table limit, each read from a configuration that sets only
// that limit.
cBroker* gBrokers[kLargestLimit];

sockaddr_in endpointFor(uint8_t selector)
{
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(5000 + (selector & 3)));
    // 192.0.2.1 to 192.0.2.4
    peer.sin_addr.s_addr = htonl(0xc0000200u + 1 + ((selector >> 2) & 3));
    return peer;
}

bool samePeer(const sockaddr_in& a, const sockaddr_in& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

unsigned derivedId(const sockaddr_in& peer)
{
    unsigned char endpoint[6];
    std::memcpy(endpoint, &peer.sin_addr.s_addr, 4);
    std::memcpy(endpoint + 4, &peer.sin_port, 2);
    return static_cast<unsigned>(crc32(0L, endpoint, sizeof endpoint));
}

// The whole prefix bytes (never more than 16), zero after them, and the
// identifier in bytes 12 to 15.
in6_addr expectedAddr(unsigned id)
{
    in6_addr addr = {};
    std::size_t whole = std::min<std::size_t>(gStartPrefixLen / 8, 16);
    std::memcpy(addr.s6_addr, gStartPrefix.s6_addr, whole);
    addr.s6_addr[12] = static_cast<uint8_t>(id >> 24);
    addr.s6_addr[13] = static_cast<uint8_t>(id >> 16);
    addr.s6_addr[14] = static_cast<uint8_t>(id >> 8);
    addr.s6_addr[15] = static_cast<uint8_t>(id);
    return addr;
}

// A model tunnel's address: none until a request gave it one.
in6_addr modelAddr(const sModelTunnel& m)
{
    return m.addressed ? expectedAddr(m.id) : in6_addr{};
}

void startInput(cFuzzInput& in)
{
    resetTunnelTable();
    gModel.clear();
    gOffers.clear();
    gEvicted = 0;
    gRefused = 0;
    gStartPrefixLen = in.byte();
    uint32_t keepaliveFloor = in.byte();
    uint8_t limit = in.byte();
    gLimit = 1 + limit % kLargestLimit;
    gKeysRequired = (limit & 0x10) != 0;
    setTunnelKeysRequired(gKeysRequired);
    in6_addr prefix = {};
    prefix.s6_addr[0] = 0x20;
    prefix.s6_addr[1] = 0x01;
    prefix.s6_addr[2] = 0x0d;
    prefix.s6_addr[3] = 0xb8;
    for (int i = 4; i < 16; ++i)
        prefix.s6_addr[i] = in.byte();
    gStartPrefix = prefix;
    setSharedPrefix(prefix, gStartPrefixLen);
    setSharedKeepalive(keepaliveFloor);
}

enum eOutcome { DROPPED, NO_REPLY, OFFER, DATA };

std::vector<sModelTunnel>::iterator modelFind(const sockaddr_in& peer)
{
    return std::find_if(gModel.begin(), gModel.end(),
                        [&](const sModelTunnel& m) { return samePeer(m.peer, peer); });
}

bool validKey(unsigned id, const char* key)
{
    return key != nullptr && tunnelKeyFor(id) == key;
}

// Whether a request from peer that presents id with key takes it: with its
// valid key, or, unless keys are required, when no tunnel of another
// endpoint holds it under its key.
bool modelMayTake(unsigned id, const char* key, const sockaddr_in& peer)
{
    auto holds = [&](const sModelTunnel& m) {
        return m.id == id && m.keyProtected && !samePeer(m.peer, peer);
    };
    return validKey(id, key)
        || (!gKeysRequired && std::none_of(gModel.begin(), gModel.end(), holds));
}

// The identifier of a request that presents none: the endpoint's CRC, run on
// over a count byte while another endpoint holds it under its key.
unsigned endpointId(const sockaddr_in& peer)
{
    auto protectedElsewhere = [&](uLong id) {
        return std::any_of(gModel.begin(), gModel.end(), [&](const sModelTunnel& m) {
            return m.id == id && m.keyProtected && !samePeer(m.peer, peer);
        });
    };
    uLong crc = derivedId(peer);
    for (unsigned char round = 1;
         crc != 0 && round != 0 && (protectedElsewhere(crc) || identifierReserved(static_cast<unsigned>(crc)));
         ++round)
        crc = crc32(crc, &round, 1);
    return static_cast<unsigned>(crc);
}

// True when the table's policy evicted peer's tunnel for this datagram.
bool modelEvicted(const sockaddr_in& peer)
{
    return std::any_of(gEvictedPeers.begin(), gEvictedPeers.end(),
                       [&](const sockaddr_in& e) { return samePeer(e, peer); });
}

// Every tunnel that holds id at another endpoint than peer.
void modelRemoveStale(unsigned id, const sockaddr_in& peer)
{
    gModel.erase(std::remove_if(gModel.begin(), gModel.end(),
                                [&](const sModelTunnel& m) {
                                    return m.id == id && !samePeer(m.peer, peer);
                                }),
                 gModel.end());
}

// A new endpoint and a full table at now (none is held between datagrams):
// the oldest unfinished tunnel if its last offer is over 10 s old, else the
// completed tunnel heard from least recently if silent beyond its
// keepalive, else the oldest unfinished one. False when none may go.
bool modelMakeRoom(long long now)
{
    while (gModel.size() >= gLimit) {
        auto unfinished = std::find_if(gModel.rbegin(), gModel.rend(),
                                       [](const sModelTunnel& m) { return !m.completed; });
        auto quiet = gModel.end();
        for (auto m = gModel.begin(); m != gModel.end(); ++m) {
            if (m->completed && (quiet == gModel.end() || m->heard < quiet->heard))
                quiet = m;
        }
        bool abandoned = unfinished != gModel.rend() && unfinished->offerTime + kRetrySeconds < now;
        bool silent = quiet != gModel.end() && quiet->keepalive != 0
            && quiet->activity + static_cast<long long>(quiet->keepalive) < now;
        if (!abandoned && silent) {
            gEvictedPeers.push_back(quiet->peer);
            gModel.erase(quiet);
        } else if (unfinished != gModel.rend()) {
            gEvictedPeers.push_back(unfinished->peer);
            gModel.erase(std::next(unfinished).base());
        } else {
            ++gRefused;
            return false;
        }
        ++gEvicted;
    }
    return true;
}

// A request's offer from m, a tunnel of the table or one outside it.
eOutcome modelRequest(sModelTunnel& m, const cTSPMsg& msg, long long now)
{
    unsigned id = msg.getTunnelId();
    // Without its key, a protected identifier is handled as 0.
    // So is one whose address is the broker's own or the prefix's anycast.
    m.id = id != 0 && !identifierReserved(id) && modelMayTake(id, msg.getTunnelKey(), m.peer)
        ? id
        : endpointId(m.peer);
    m.usesKey = msg.getTunnelKey() != nullptr;
    m.keepalive = std::max<unsigned>(msg.getKeepalive(), gKeepalive);
    m.state = TUNNEL_OFFERED;
    m.addressed = true;
    // Within the setup rate every offer leaves.
    m.offered = true;
    m.offerTime = now;
    gOffers.erase(std::remove_if(gOffers.begin(), gOffers.end(),
                                 [&](const sModelTunnel& o) { return samePeer(o.peer, m.peer); }),
                  gOffers.end());
    gOffers.push_back(m);
    return OFFER;
}

// The exchange's rules for one datagram of a tunnel of the table at now.
eOutcome modelExchange(std::vector<sModelTunnel>::iterator it, const sockaddr_in& peer,
                       const cTSPMsg& msg, long long now)
{
    if (it->state == TUNNEL_ESTABLISHED)
        return DATA;
    if (msg.getType() == TSP_ACCEPT) {
        bool keyValid = validKey(it->id, msg.getTunnelKey());
        // Where keys are required, an accept without one changes nothing.
        if (gKeysRequired && !keyValid)
            return NO_REPLY;
        it->completed = it->state == TUNNEL_OFFERED && it->offered && (!it->usesKey || keyValid);
        it->keyProtected = it->keyProtected || keyValid;
        it->state = TUNNEL_ESTABLISHED;
        return NO_REPLY;
    }
    // A broker-side tunnel takes requests and accepts only: an offer from a
    // sender must never reach the broker's shared prefix.
    if (msg.getType() != TSP_REQUEST)
        return NO_REPLY;
    unsigned id = msg.getTunnelId();
    if (id != 0 && !identifierReserved(id) && modelMayTake(id, msg.getTunnelKey(), peer)) {
        gTaken = id;
        modelRemoveStale(id, peer);
        it = modelFind(peer);
    }
    return modelRequest(*it, msg, now);
}

// The table's and the exchange's rules for one datagram from peer at now.
eOutcome modelDatagram(const sockaddr_in& peer, const cTSPMsg& msg, long long now)
{
    gTaken = 0;
    gEvictedPeers.clear();
    auto it = modelFind(peer);
    unsigned id = msg.getTunnelId();
    sModelTunnel fresh{peer, TUNNEL_NEW, 0, 0, false, false, false, now, now, now, false, false};
    // A new endpoint's keyed request is answered from a tunnel outside the
    // table; its accept with the offered identifier's key sets one up.
    if (it == gModel.end() && msg.getType() == TSP_REQUEST && msg.getTunnelKey() != nullptr)
        return modelRequest(fresh, msg, now);
    bool keyedAccept = it == gModel.end() && msg.getType() == TSP_ACCEPT && id != 0
        && !identifierReserved(id) && validKey(id, msg.getTunnelKey());
    if (it == gModel.end()) {
        // The stale tunnels of a request's identifier, or a keyed accept's,
        // free their slots before any victim, where it may take it.
        if (gModel.size() >= gLimit && (msg.getType() == TSP_REQUEST || keyedAccept) && id != 0
            && !identifierReserved(id) && modelMayTake(id, msg.getTunnelKey(), peer))
            modelRemoveStale(id, peer);
        if (!modelMakeRoom(now))
            return DROPPED;
        it = gModel.insert(gModel.begin(), fresh);
    }
    eOutcome outcome = NO_REPLY;
    if (keyedAccept) {
        gTaken = id;
        modelRemoveStale(id, peer);
        it = modelFind(peer);
        *it = sModelTunnel{peer, TUNNEL_ESTABLISHED, id,
                           std::max<unsigned>(msg.getKeepalive(), gKeepalive),
                           true, true, true, now, now, now, true, true};
    } else {
        outcome = modelExchange(it, peer, msg, now);
    }
    it = modelFind(peer);
    it->heard = now;
    if (it->keepalive != 0)
        it->activity = now;
    return outcome;
}

// True when an established tunnel of the model owns the frame's destination.
bool modelOwnsDestination(const std::vector<char>& frame)
{
    const unsigned char* destination =
        frameAddress(frame.data(), static_cast<int>(frame.size()), kDestinationAt);
    return destination != nullptr
        && std::any_of(gModel.begin(), gModel.end(), [&](const sModelTunnel& m) {
               in6_addr addr = modelAddr(m);
               return m.state == TUNNEL_ESTABLISHED
                   && std::memcmp(&addr, destination, sizeof addr) == 0;
           });
}

// Every message waiting on a stand-in's reading end.
std::vector<std::string> takeSent(int fd)
{
    std::vector<std::string> sent;
    char buf[2 * kFrameBufferSize];
    for (int i = 0; i < 4; ++i) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0)
            break;
        sent.emplace_back(buf, static_cast<std::size_t>(n));
    }
    return sent;
}

// A key-protected tunnel of the table.
struct sProtected {
    sockaddr_in peer;
    unsigned id;
};

// The offer against the model's, which the table check holds to the tunnel
// where it has one; protectedBefore: the key-protected tunnels before.
void checkOffer(const std::vector<std::string>& sent, const cTSPMsg& said,
                const sockaddr_in& sender, const std::vector<sProtected>& protectedBefore)
{
    const sModelTunnel& expected = gOffers.back();
    bool keyed = said.getTunnelKey() != nullptr;
    fuzzCheck(sent.size() == 1, "a request got no offer, or more than one datagram");
    // A keyed request's offer is the written one and then its key tag.
    std::string keyTag = keyed ? "tunnelkey=" + tunnelKeyFor(expected.id) + '\0' : "";
    std::size_t length = sent[0].size();
    fuzzCheck(length <= kLongestOffer + keyTag.size(),
              "offer longer than 162 bytes and its key tag");
    fuzzCheck(!keyed
                  || (length > keyTag.size()
                      && sent[0].compare(length - keyTag.size(), keyTag.size(), keyTag) == 0),
              "a keyed request's offer does not end with its identifier's key");
    std::vector<char> bytes(sent[0].begin(), sent[0].end());
    cTSPMsg offer(bytes.data(), static_cast<int>(bytes.size()));
    fuzzCheck(offer.getType() == TSP_OFFER, "reply to a request is no offer");
    // Unless the table's policy evicted that tunnel for this very datagram.
    for (const sProtected& p : protectedBefore)
        fuzzCheck(p.id != offer.getTunnelId() || samePeer(p.peer, sender)
                      || validKey(p.id, said.getTunnelKey()) || modelEvicted(p.peer),
                  "an offer hands out a key-protected identifier without its key");
    fuzzCheck(offer.getTunnelId() == expected.id, "offer carries another tunnelid");
    fuzzCheck(offer.getKeepalive() == expected.keepalive, "offer carries another keepalive");
    fuzzCheck(offer.getPrefixLen() == gStartPrefixLen, "offer carries another prefix length");
    fuzzCheck(std::memcmp(offer.getPrefix(), &gStartPrefix, sizeof gStartPrefix) == 0,
              "offer carries another prefix");
    in6_addr addr = expectedAddr(expected.id);
    fuzzCheck(std::memcmp(offer.getAddr(), &addr, sizeof addr) == 0,
              "offer carries another address than the tunnel's");
    fuzzCheck(keyed || offer.getTunnelKey() == nullptr, "an offer carries a key nobody asked for");
}

// What the broker sent and wrote for one datagram against its outcome.
void checkSent(const std::vector<char>& datagram, eOutcome expected, const cTunnel* tunnel,
               const cTSPMsg& said, const sockaddr_in& sender,
               const std::vector<sProtected>& protectedBefore)
{
    const std::vector<std::string> none;
    const std::vector<std::string> itself{std::string(datagram.begin(), datagram.end())};
    std::vector<std::string> sent = takeSent(gUdp[1]);
    std::vector<std::string> written = takeSent(gTun[1]);
    if (expected == DATA && datagram.size() > static_cast<std::size_t>(kKeepaliveMax)) {
        // Only a whole IPv6 packet from the tunnel's own address gets in.
        int n = static_cast<int>(datagram.size());
        const unsigned char* source = frameAddress(datagram.data(), n, kSourceAt);
        if (!holdsIp6Packet(datagram.data(), n) || tunnel == nullptr
            || std::memcmp(source, tunnel->getAddr(), kIp6AddressLen) != 0) {
            fuzzCheck(written == none && sent == none, "refused data reached the TUN device or a peer");
            return;
        }
        fuzzCheck(written == itself, "a data datagram did not reach the TUN device whole and alone");
        fuzzCheck(sent == (modelOwnsDestination(datagram) ? itself : none),
                  "a frame's forward does not follow the established tunnels' addresses");
        return;
    }
    fuzzCheck(written == none, "something that is no data reached the TUN device");
    if (expected == OFFER)
        checkOffer(sent, said, sender, protectedBefore);
    else if (expected == DATA)
        fuzzCheck(sent == itself, "a keepalive was not echoed unchanged");
    else
        fuzzCheck(sent == none, "a reply to something that is no request");
}

std::vector<sProtected> protectedTunnels()
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    std::vector<sProtected> found;
    for (const cTunnel* t : gTunnels) {
        if (t->isKeyProtected())
            found.push_back(sProtected{t->getPeer(), t->getId()});
    }
    return found;
}

// Under the lock: a tunnel protected before the datagram is gone only when
// the datagram was a request or an accept from another endpoint that
// presented its identifier with its valid key, or when the table's policy
// evicted it.
void checkProtected(const std::vector<sProtected>& before, const sockaddr_in& sender,
                    const cTSPMsg& said)
{
    for (const sProtected& p : before) {
        if (gTunnels.findByPeer(p.peer) != nullptr)
            continue;
        bool setup = said.getType() == TSP_REQUEST || said.getType() == TSP_ACCEPT;
        bool withKey = setup && said.getTunnelId() == p.id
            && !samePeer(p.peer, sender) && validKey(p.id, said.getTunnelKey());
        if (!withKey && !modelEvicted(p.peer))
            fuzzFail("the key-protected tunnel of " + endpointText(p.peer)
                     + " went without its key, for a datagram from " + endpointText(sender));
    }
}

// Under the lock: the table after a datagram against the model.
void checkTable(const sockaddr_in& sender)
{
    fuzzCheck(std::memcmp(&gIp6Prefix, &gStartPrefix, sizeof gStartPrefix) == 0,
              "the broker's shared prefix changed");
    fuzzCheck(gIp6PrefixLen == gStartPrefixLen, "the broker's shared prefix length changed");
    for (auto a = gTunnels.begin(); a != gTunnels.end(); ++a) {
        for (auto b = std::next(a); b != gTunnels.end(); ++b) {
            if ((*a)->samePeer((*b)->getPeer()))
                fuzzFail("two tunnels for " + endpointText((*a)->getPeer()));
        }
        fuzzCheck((*a)->getRefCount() == 0, "a hold is left after the datagram");
        if (gTaken != 0 && (*a)->getId() == gTaken)
            fuzzCheck((*a)->samePeer(sender), "a stale tunnel survived its identifier's request");
    }
    fuzzCheck(gTunnels.size() <= gLimit, "the table holds more tunnels than its limit");
    if (gTunnels.size() != gModel.size())
        fuzzFail("table holds " + std::to_string(gTunnels.size()) + " tunnels, expected "
                 + std::to_string(gModel.size()));
    std::size_t i = 0;
    for (const cTunnel* t : gTunnels) {
        const sModelTunnel& m = gModel[i++];
        if (!t->samePeer(m.peer))
            fuzzFail("table order: " + endpointText(t->getPeer()) + " where the tunnel for "
                     + endpointText(m.peer) + " belongs");
        const std::pair<const char*, bool> differs[] = {
            {"state", t->getState() != m.state},
            {"identifier", t->getId() != m.id},
            {"keepalive", t->getKeepalive() != m.keepalive},
            {"completion", t->hasCompleted() != m.completed},
            {"offer time", wholeSeconds(t->getOfferTime()) != m.offerTime},
            {"activity", wholeSeconds(t->getLastActivity()) != m.activity},
            {"key protection", t->isKeyProtected() != m.keyProtected},
        };
        for (const auto& d : differs)
            if (d.second)
                fuzzFail(std::string(d.first) + " of the tunnel for " + endpointText(m.peer));
        in6_addr expected = modelAddr(m);
        if (std::memcmp(t->getAddr(), &expected, sizeof expected) != 0)
            fuzzFail("address of the tunnel for " + endpointText(m.peer) + " is "
                     + hexBytes(t->getAddr(), 16) + ", expected " + hexBytes(&expected, 16));
    }
}

// The datagram with the key tag its selector asks for (see the top of the
// file), as long as it still fits a receive buffer.
std::vector<char> withKey(const sFuzzDatagram& d, const sockaddr_in& sender)
{
    int choice = (d.selector >> 4) & 3;
    std::vector<char> bytes(d.bytes);
    if (choice == 0)
        return bytes;
    // An unterminated last string is ended first: the tag is a string of
    // its own, after the last one.
    if (!bytes.empty() && bytes.back() != '\0')
        bytes.push_back('\0');
    std::vector<char> copy(bytes);
    cTSPMsg base(copy.data(), static_cast<int>(copy.size()));
    auto own = modelFind(sender);
    auto offer = std::find_if(gOffers.begin(), gOffers.end(),
                              [&](const sModelTunnel& o) { return samePeer(o.peer, sender); });
    const sModelTunnel* last = own != gModel.end() ? &*own
        : offer != gOffers.end()                 ? &*offer
                                                 : nullptr;
    unsigned id = base.getType() == TSP_REQUEST ? base.getTunnelId() : last ? last->id : 0;
    std::string key = choice == 2 ? std::string() : tunnelKeyFor(id);
    if (choice == 3)
        key[0] = key[0] == '0' ? '1' : '0';
    // An accept says what it accepts, as a client does.
    std::string tags = base.getType() != TSP_ACCEPT ? std::string()
        : "tunnelid=" + std::to_string(id) + '\0' + "keepalive="
            + std::to_string(last ? last->keepalive : 0) + '\0';
    tags += "tunnelkey=" + key + '\0';
    bytes.insert(bytes.end(), tags.begin(), tags.end());
    return bytes.size() <= static_cast<std::size_t>(kFrameBufferSize) ? bytes : d.bytes;
}

void handleDatagram(cBrokerMode& mode, const sFuzzDatagram& d, long long now)
{
    sockaddr_in sender = endpointFor(d.selector);
    std::vector<char> bytes = withKey(d, sender);
    int n = static_cast<int>(bytes.size());
    // What the datagram says, read from a copy: parsing splits its buffer.
    std::vector<char> copy(bytes);
    cTSPMsg said(copy.data(), n);
    std::vector<sProtected> keyProtected = protectedTunnels();
    eOutcome expected = modelDatagram(sender, said, now / kNanosPerSecond);

    // Exactly n bytes, so that reading past the datagram is caught.
    std::unique_ptr<char[]> buffer(new char[n]);
    if (n > 0)
        std::memcpy(buffer.get(), bytes.data(), n);
    mode.handleUdpDatagram(buffer.get(), n, sender, now);

    std::lock_guard<std::mutex> hold(gTunnelsLock);
    checkProtected(keyProtected, sender, said);
    if (mode.refusedEndpoints() != gRefused)
        fuzzFail(expected == DROPPED ? "a full table of completed tunnels took a new one"
                                     : "a datagram was dropped with room in the table");
    fuzzCheck(mode.evictedTunnels() == gEvicted, "evictions differ from the model's");
    fuzzCheck(mode.heldOffers() == 0, "an offer was held back within the setup rate");
    checkSent(bytes, expected, gTunnels.findByPeer(sender), said, sender, keyProtected);
    checkTable(sender);
}

void makeBrokers()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp")
        + "/quibd-fuzz-conf-XXXXXX";
    int fd = mkstemp(&path[0]);
    fuzzCheck(fd >= 0, "cannot create a scratch configuration file");
    close(fd);
    for (int limit = 1; limit <= kLargestLimit; ++limit) {
        std::ofstream(path, std::ios::trunc) << "quib.broker.maxtunnels = " << limit << "\n";
        fuzzCheck(cConfig::load(path.c_str()), "cannot load the scratch configuration");
        gBrokers[limit - 1] = new cBroker;
        gBrokers[limit - 1]->useDescriptors(gTun[0], gUdp[0]);
    }
    unlink(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    keepReportChannel();
    quietLogs();
    fuzzCheck(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, gUdp) == 0
                  && socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, gTun) == 0,
              "cannot make the stand-in socket pairs");
    makeBrokers();
    // A fixed secret, so that a reproducer replays with the same keys.
    unsigned char secret[kBrokerSecretLen];
    for (int i = 0; i < kBrokerSecretLen; ++i)
        secret[i] = static_cast<unsigned char>(0x5a ^ i);
    setTunnelKeySecret(secret);
    fuzzCheck(tunnelKeysEnabled(), "cannot set the broker's secret");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    cFuzzInput in(data, size);
    startInput(in);
    cBrokerMode mode(*gBrokers[gLimit - 1]);
    sFuzzDatagram d;
    for (int i = 1; i <= kMaxDatagrams && in.nextDatagram(d); ++i)
        handleDatagram(mode, d, (1000 + i) * kNanosPerSecond);
    // Every input starts from an empty table, which keeps runs fast.
    resetTunnelTable();
    return 0;
}
