// Fuzz target: the broker's setup exchange on tunnels inside the table.
//
// Input: a header (prefix length, keepalive floor, table limit, twelve bytes
// of prefix) and then datagrams from sixteen endpoints (four addresses, four
// ports, so that senders meet again). The table limit is 1 to 16, so that
// new endpoints also meet a full table. Each datagram is handled as the UDP
// worker does: under gTunnelsLock, findOrAdmitTunnel (null: dropped),
// handleMsg while the tunnel is not established (the reply is checked and
// deleted), otherwise the local forward of a data frame, release.
//
// A model of the table kept here from the exchange's rules is compared with
// the real table after every datagram: the same endpoints in the same order
// (newest first, one tunnel per endpoint, never more than the limit, the
// oldest unfinished tunnel evicted first and a tunnel that completed the
// exchange never), states, identifiers, keepalives and addresses (inside the
// prefix, with the identifier in the last four bytes); no hold left after
// release; the shared prefix and length as set at start; and no other
// endpoint keeps an identifier that a request has just presented.
#include "cFuzzInput.h"
#include "fuzzSupport.h"

#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

const int kLongestOffer = 162;
const int kMaxDatagrams = 64;
const int kKeepaliveMax = 4;

struct sModelTunnel {
    sockaddr_in peer;
    int state;
    unsigned id;
    unsigned keepalive;
    bool addressed; // a request has given it an address
    bool completed; // an accept answered its offer
};

// Newest first, as the table.
std::vector<sModelTunnel> gModel;
in6_addr gStartPrefix;
uint8_t gStartPrefixLen;

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

void clearTable()
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    for (cTunnel* t : gTunnels)
        delete t;
    gTunnels.clear();
    gModel.clear();
    gTunnelLimitTally.reset();
}

void startInput(cFuzzInput& in)
{
    clearTable();
    gStartPrefixLen = in.byte();
    uint32_t keepaliveFloor = in.byte();
    gMaxTunnels = 1 + in.byte() % 16;
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

enum eOutcome { DROPPED, NO_REPLY, OFFER };

// A new endpoint and a full table: the oldest tunnel that never completed
// the exchange makes room (none is held between datagrams). False when
// every tunnel completed it.
bool modelMakeRoom()
{
    while (gModel.size() >= static_cast<std::size_t>(gMaxTunnels)) {
        auto victim = std::find_if(gModel.rbegin(), gModel.rend(),
                                   [](const sModelTunnel& m) { return !m.completed; });
        if (victim == gModel.rend())
            return false;
        gModel.erase(std::next(victim).base());
    }
    return true;
}

// The table's and the exchange's rules for one datagram from peer.
eOutcome modelDatagram(const sockaddr_in& peer, const cTSPMsg& msg)
{
    auto it = std::find_if(gModel.begin(), gModel.end(),
                           [&](const sModelTunnel& m) { return samePeer(m.peer, peer); });
    if (it == gModel.end()) {
        if (!modelMakeRoom())
            return DROPPED;
        it = gModel.insert(gModel.begin(), sModelTunnel{peer, TUNNEL_NEW, 0, 0, false, false});
    }
    if (it->state == TUNNEL_ESTABLISHED)
        return NO_REPLY;
    if (msg.getType() == TSP_ACCEPT) {
        it->completed = it->state == TUNNEL_OFFERED;
        it->state = TUNNEL_ESTABLISHED;
        return NO_REPLY;
    }
    // A broker-side tunnel takes requests and accepts only: an offer from a
    // sender must never reach the broker's shared prefix.
    if (msg.getType() != TSP_REQUEST)
        return NO_REPLY;
    unsigned id = msg.getTunnelId();
    if (id != 0) {
        gModel.erase(std::remove_if(gModel.begin(), gModel.end(),
                                    [&](const sModelTunnel& m) {
                                        return m.id == id && !samePeer(m.peer, peer);
                                    }),
                     gModel.end());
        it = std::find_if(gModel.begin(), gModel.end(),
                          [&](const sModelTunnel& m) { return samePeer(m.peer, peer); });
    } else {
        id = derivedId(peer);
    }
    it->id = id;
    it->keepalive = std::max<unsigned>(msg.getKeepalive(), gKeepalive);
    it->state = TUNNEL_OFFERED;
    it->addressed = true;
    return OFFER;
}

void checkOffer(cTSPMsg* reply, const cTunnel* tunnel)
{
    fuzzCheck(reply != nullptr, "a request got no offer");
    fuzzCheck(reply->getLen() <= kLongestOffer, "offer longer than 162 bytes");
    std::vector<char> bytes(reply->getData(), reply->getData() + reply->getLen());
    cTSPMsg offer(bytes.data(), static_cast<int>(bytes.size()));
    fuzzCheck(offer.getType() == TSP_OFFER, "reply to a request is no offer");
    fuzzCheck(offer.getTunnelId() == tunnel->getId(), "offer carries another tunnelid");
    fuzzCheck(offer.getKeepalive() == tunnel->getKeepalive(), "offer carries another keepalive");
    fuzzCheck(offer.getPrefixLen() == gStartPrefixLen, "offer carries another prefix length");
    fuzzCheck(std::memcmp(offer.getPrefix(), &gStartPrefix, sizeof gStartPrefix) == 0,
              "offer carries another prefix");
    fuzzCheck(std::memcmp(offer.getAddr(), tunnel->getAddr(), sizeof(in6_addr)) == 0,
              "offer carries another address than the tunnel's");
}

// Under the lock: the table after a datagram against the model.
void checkTable(const sockaddr_in& sender, const cTSPMsg& msg, bool answered)
{
    fuzzCheck(std::memcmp(&gIp6Prefix, &gStartPrefix, sizeof gStartPrefix) == 0,
              "the broker's shared prefix changed");
    fuzzCheck(gIp6PrefixLen == gStartPrefixLen, "the broker's shared prefix length changed");
    for (auto a = gTunnels.begin(); a != gTunnels.end(); ++a) {
        for (auto b = std::next(a); b != gTunnels.end(); ++b) {
            if ((*a)->samePeer((*b)->getPeer()))
                fuzzFail("two tunnels for " + endpointText((*a)->getPeer()));
        }
        fuzzCheck((*a)->getRefCount() == 0, "a hold is left after release");
        if (answered && msg.getTunnelId() != 0 && (*a)->getId() == msg.getTunnelId())
            fuzzCheck((*a)->samePeer(sender), "a stale tunnel survived its identifier's request");
    }
    fuzzCheck(gTunnels.size() <= static_cast<std::size_t>(gMaxTunnels),
              "the table holds more tunnels than its limit");
    if (gTunnels.size() != gModel.size())
        fuzzFail("table holds " + std::to_string(gTunnels.size()) + " tunnels, expected "
                 + std::to_string(gModel.size()));
    std::size_t i = 0;
    for (const cTunnel* t : gTunnels) {
        const sModelTunnel& m = gModel[i++];
        if (!t->samePeer(m.peer))
            fuzzFail("table order: " + endpointText(t->getPeer()) + " where the tunnel for "
                     + endpointText(m.peer) + " belongs");
        const char* field = nullptr;
        if (t->getState() != m.state)
            field = "state";
        else if (t->getId() != m.id)
            field = "identifier";
        else if (t->getKeepalive() != m.keepalive)
            field = "keepalive";
        else if (t->hasCompleted() != m.completed)
            field = "completion";
        if (field != nullptr)
            fuzzFail(std::string(field) + " of the tunnel for " + endpointText(m.peer));
        in6_addr expected = m.addressed ? expectedAddr(m.id) : in6_addr{};
        if (std::memcmp(t->getAddr(), &expected, sizeof expected) != 0)
            fuzzFail("address of the tunnel for " + endpointText(m.peer) + " is "
                     + hexBytes(t->getAddr(), 16) + ", expected " + hexBytes(&expected, 16));
    }
}

void handleDatagram(const sFuzzDatagram& d)
{
    sockaddr_in sender = endpointFor(d.selector);
    int n = static_cast<int>(d.bytes.size());
    // What the datagram says, read from a copy: handleMsg splits its buffer.
    std::vector<char> copy(d.bytes);
    cTSPMsg said(copy.data(), n);
    eOutcome expected = modelDatagram(sender, said);

    // Exactly n bytes, so that reading past the datagram is caught.
    std::unique_ptr<char[]> buffer(new char[n]);
    if (n > 0)
        std::memcpy(buffer.get(), d.bytes.data(), n);

    std::lock_guard<std::mutex> hold(gTunnelsLock);
    cTunnel* tunnel = findOrAdmitTunnel(sender);
    if (tunnel == nullptr) {
        fuzzCheck(expected == DROPPED, "a datagram was dropped with room in the table");
    } else {
        fuzzCheck(expected != DROPPED, "a full table of completed tunnels took a new one");
        fuzzCheck(tunnel->getRefCount() == 1, "a fresh hold is not the only one");
        if (!tunnel->isEstablished()) {
            std::unique_ptr<cTSPMsg> reply(tunnel->handleMsg(buffer.get(), n));
            if (expected == OFFER)
                checkOffer(reply.get(), tunnel);
            else
                fuzzCheck(reply == nullptr, "a reply to something that is no request");
        } else if (n > kKeepaliveMax) {
            // The data path's look at the frame: the local forward reads the
            // destination address. The socket is no socket (-1), so a
            // matching tunnel's send fails and nothing leaves the process.
            forwardToTunnel(-1, buffer.get(), n);
        }
        tunnel->release();
    }
    checkTable(sender, said, expected == OFFER);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    keepReportChannel();
    quietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    cFuzzInput in(data, size);
    startInput(in);
    sFuzzDatagram d;
    for (int i = 0; i < kMaxDatagrams && in.nextDatagram(d); ++i)
        handleDatagram(d);
    // Every input starts from an empty table, which keeps runs fast.
    clearTable();
    return 0;
}
