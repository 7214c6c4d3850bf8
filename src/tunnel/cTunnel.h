// A client's IPv6-over-UDP tunnel, the broker's tunnel table and the
// process-wide values the setup exchange shares.
#pragma once

#include "log/cWlog.h"
#include "tunnel/cFloodTally.h"
#include "tunnel/cTunnelTable.h"

#include <netinet/in.h>

#include <cstdint>
#include <list>
#include <mutex>

class cTSPMsg;

enum {
    TUNNEL_NEW = 0,
    TUNNEL_OFFERED = 1,
    TUNNEL_ESTABLISHED = 2,
};

class cTunnel : public cWlog {
public:
    // The client's own tunnel: zero peer, never in the table.
    cTunnel();
    // A broker-side tunnel for the peer endpoint that sent a datagram.
    explicit cTunnel(const sockaddr_in& peer);

    cTunnel(const cTunnel&) = delete;
    cTunnel& operator=(const cTunnel&) = delete;

    bool samePeer(sockaddr_in peer) const;
    void addRef();
    void release();
    bool isEstablished() const;
    const in6_addr* getAddr() const { return &mAddr; }
    void setId(unsigned id) { mId = id; }
    unsigned getId() const { return mId; }
    void setKeepalive(unsigned seconds) { mKeepalive = seconds; }
    void touch();
    bool isExpired() const;
    void assignAddress();

    // The setup exchange.
    cTSPMsg* makeRequest();
    cTSPMsg* handleMsg(char* data, int len);

    // Read-only views for the table and its tests.
    const sockaddr_in& getPeer() const { return mPeer; }
    int getRefCount() const { return mRefCount; }
    int getState() const { return mState; }
    // True once an accept arrived while an offer was out: the whole exchange
    // ran. A bare accept establishes a tunnel without this.
    bool hasCompleted() const { return mCompleted; }
    unsigned getKeepalive() const { return mKeepalive; }
    long long getLastActivity() const { return mLastActivity; }
    // Test hook: places the last activity at a chosen clock second.
    void setLastActivity(long long seconds) { mLastActivity = seconds; }

private:
    cTSPMsg* answer(const cTSPMsg& msg);
    cTSPMsg* handleRequest(const cTSPMsg& msg);
    cTSPMsg* handleOffer(const cTSPMsg& msg);
    bool takes(int type) const;

    sockaddr_in mPeer;
    int mRefCount;
    int mState;
    in6_addr mAddr;
    unsigned mId;
    unsigned mKeepalive;
    long long mLastActivity;
    // Built from a peer endpoint, i.e. the broker's side of a tunnel: such a
    // tunnel never takes an offer (only brokers send offers).
    bool mFromPeer;
    bool mCompleted;
};

// Seconds of CLOCK_MONOTONIC.
long long monotonicSeconds();

// The tunnel table. Callers hold gTunnelsLock around every use.
extern cTunnelTable gTunnels;
extern std::mutex gTunnelsLock;
extern cWlog gTunnelLog;

cTunnel* findOrCreateTunnel(const sockaddr_in& peer);
// The same within gMaxTunnels, for the broker's UDP worker. A new endpoint
// that finds the table full takes the place of the oldest tunnel that is not
// held and never completed the exchange; when there is none, the result is
// null (no hold taken) and the endpoint's datagram is to be dropped.
cTunnel* findOrAdmitTunnel(const sockaddr_in& peer);
// Most tunnels findOrAdmitTunnel lets the table hold; set before the broker's
// workers start ("quib.broker.maxtunnels").
extern int gMaxTunnels;
// Tunnels evicted (kind 0) and new endpoints refused (kind 1) because the
// table was full; summarised on gTunnelLog's info stream at most every 10 s.
extern cFloodTally gTunnelLimitTally;
void removeStaleTunnels(cTunnel* current);
void sendToAllTunnels(int sock, const char* frame, int len);
void forwardToTunnel(int sock, const char* frame, int len);

// Process-wide values of the setup exchange.
extern in6_addr gIp6Prefix;
extern uint8_t gIp6PrefixLen;
extern uint32_t gKeepalive;

void setSharedPrefix(const in6_addr& prefix, uint8_t len);
void setSharedKeepalive(uint32_t seconds);
uint8_t getSharedPrefixLen();
