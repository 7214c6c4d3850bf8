#include "broker/brokerStatus.h"

#include "log/logText.h"
#include "log/monotonicClock.h"
#include "status/statusSnapshot.h"
#include "tunnel/cDelegationTable.h"
#include "tunnel/cTunnel.h"
#include "tunnel/tunnelTable.h"

#include <mutex>
#include <vector>

namespace {

// What a row needs, copied while the table is locked; plain bytes only, so
// the copy costs the relay little.
struct tRawRow {
    sockaddr_in peer;
    in6_addr address;
    unsigned id;
    int state;
    bool completed;
    bool keyProtected;
    unsigned keepalive;
    long long created;
    long long heard;
    cTunnel::tTraffic traffic;
    // The place of its identifier's delegation in the pool, when it holds one.
    bool delegated;
    uint64_t delegation;
};

// Under gTunnelsLock, which guards the delegations too. Only a tunnel that
// a key protects holds its identifier's delegation.
tRawRow rawRowOf(const cTunnel& t)
{
    tRawRow raw{t.getPeer(),       *t.getAddr(),         t.getId(),
                t.getState(),      t.hasCompleted(),     t.isKeyProtected(),
                t.getKeepalive(),  t.getCreated(),       t.getLastHeard(),
                t.traffic(),       false,                0};
    const cDelegationTable::sDelegation* held =
        gDelegations.enabled() && t.isKeyProtected() ? gDelegations.find(t.getId()) : nullptr;
    if (held != nullptr) {
        raw.delegated = true;
        raw.delegation = held->index;
    }
    return raw;
}

sTunnelRow rowOf(const tRawRow& raw, long long now)
{
    sTunnelRow row;
    row.id = raw.id;
    row.endpoint = endpointText(raw.peer);
    if (raw.state != TUNNEL_NEW)
        row.address = ip6Text(raw.address);
    row.state = raw.state;
    row.completed = raw.completed;
    row.keyProtected = raw.keyProtected;
    // The pool is fixed at start, so the text needs no lock.
    if (raw.delegated)
        row.routedPrefix = gDelegations.prefixText(raw.delegation);
    row.keepalive = raw.keepalive;
    row.createdAgo = wholeSeconds(now) - wholeSeconds(raw.created);
    row.heardAgo = wholeSeconds(now) - wholeSeconds(raw.heard);
    row.packetsIn = raw.traffic.packetsIn;
    row.bytesIn = raw.traffic.bytesIn;
    row.packetsOut = raw.traffic.packetsOut;
    row.bytesOut = raw.traffic.bytesOut;
    return row;
}

} // namespace

void fillBrokerStatus(sStatusSnapshot& status, long long now)
{
    status.broker = true;
    std::vector<tRawRow> raw;
    {
        std::lock_guard<std::mutex> hold(gTunnelsLock);
        raw.reserve(gTunnels.size());
        for (const cTunnel* t : gTunnels)
            raw.push_back(rawRowOf(*t));
    }
    status.tunnels.reserve(raw.size());
    for (const tRawRow& r : raw) {
        if (r.state >= TUNNEL_NEW && r.state <= TUNNEL_ESTABLISHED)
            ++status.tunnelsByState[r.state];
        status.tunnels.push_back(rowOf(r, now));
    }
}

std::string brokerSummaryNow()
{
    unsigned established = 0;
    {
        std::lock_guard<std::mutex> hold(gTunnelsLock);
        for (const cTunnel* t : gTunnels)
            established += t->isEstablished() ? 1 : 0;
    }
    return std::to_string(established) + " tunnels established";
}
