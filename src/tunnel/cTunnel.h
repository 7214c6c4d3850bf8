// A client's IPv6-over-UDP tunnel: its peer endpoint, state, identifier,
// address and keepalive, and its side of the setup exchange.
#pragma once

#include "log/cWlog.h"

#include <netinet/in.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

class cTSPMsg;

enum {
    TUNNEL_NEW = 0,
    TUNNEL_OFFERED = 1,
    TUNNEL_ESTABLISHED = 2,
};

// The address that identifier id gets in the shared prefix, and whether
// that is one no tunnel may have (the broker's own, the prefix's anycast).
in6_addr tunnelAddressFor(unsigned id);
bool identifierReserved(unsigned id);
// The same for the 16 bytes of an address; and whether it lies in the
// shared prefix.
bool addressReserved(const unsigned char* address);
bool inSharedPrefix(const unsigned char* address);

class cTunnel : public cWlog {
public:
    // Every time a tunnel takes or keeps is nanoseconds of CLOCK_MONOTONIC.
    // The client's own tunnel, made at now: zero peer, never in the table.
    explicit cTunnel(long long now);
    // A broker-side tunnel for the peer endpoint that sent a datagram, made
    // at now (without it, the clock is read).
    explicit cTunnel(const sockaddr_in& peer);
    cTunnel(const sockaddr_in& peer, long long now);

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
    // Activity and ageing at now. The keepalive counts whole seconds: a
    // tunnel expires once more than that many of them have passed.
    void touch(long long now);
    bool isExpired(long long now) const;
    void assignAddress();

    // Our client's tunnels carry a key: its request presents this one (empty
    // when it has none yet) and its accept repeats the one the offer gave.
    void setKey(const std::string& key);
    const std::string& getKey() const { return mKey; }
    // Client side: the request asks for a routed prefix (only with a key);
    // the prefix the offer gave ("PREFIX/LEN"), empty for none.
    void askRoutedPrefix() { mAsksRoutedPrefix = true; }
    const std::string& getRoutedPrefix() const { return mRoutedPrefix; }
    // Broker side: the accept carried the identifier's valid key.
    bool isKeyProtected() const { return mKeyProtected; }
    // Broker side: a tunnel that only answers one keyed request and is never
    // in the table; its exchange leaves the table alone.
    void detachFromTable() { mDetached = true; }
    // Broker side: the accept of a keyed setup answered without a tunnel,
    // with the valid key of id: the tunnel is set up, key-protected, and
    // other endpoints' tunnels of id go.
    // An accept that repeats a routed prefix (routedPrefix not null) takes
    // the identifier's delegation.
    void establishWithKey(unsigned id, unsigned keepalive, const char* key,
                          const char* routedPrefix = nullptr);

    // The setup exchange.
    cTSPMsg* makeRequest();
    cTSPMsg* handleMsg(char* data, int len);
    // The broker sent this tunnel's offer to its peer at now. An offer held
    // back, or whose send failed, is not noted.
    void noteOfferSent(long long now);

    const sockaddr_in& getPeer() const { return mPeer; }
    // Broker side: the local address the peer last sent to; what the tunnel
    // is sent leaves from it (INADDR_ANY: the kernel chooses).
    void setLocal(in_addr local) { mLocal = local; }
    in_addr getLocal() const { return mLocal; }
    int getRefCount() const { return mRefCount; }
    int getState() const { return mState; }
    // True once an accept arrived while an offer that really left was out:
    // the whole exchange ran. A bare accept, or one behind an offer that was
    // never sent, establishes a tunnel without this.
    bool hasCompleted() const { return mCompleted; }
    unsigned getKeepalive() const { return mKeepalive; }
    long long getLastActivity() const { return mLastActivity; }
    // When a datagram of its peer last arrived (for the operator).
    long long getLastHeard() const { return mLastHeard; }
    // When the last offer left, or when the tunnel was made while none has.
    long long getOfferTime() const { return mOfferTime; }
    long long getCreated() const { return mCreated; }

    // Traffic with the peer, for the operator's view. Counted under the
    // table's lock on the broker; counting a send changes no state of the
    // tunnel, so it works on the const tunnels the senders hold.
    struct tTraffic {
        uint64_t packetsIn = 0;
        uint64_t bytesIn = 0;
        uint64_t packetsOut = 0;
        uint64_t bytesOut = 0;
    };
    void countReceived(std::size_t bytes)
    {
        ++mTraffic.packetsIn;
        mTraffic.bytesIn += bytes;
    }
    void countSent(ssize_t bytes) const
    {
        if (bytes < 0)
            return;
        ++mTraffic.packetsOut;
        mTraffic.bytesOut += static_cast<uint64_t>(bytes);
    }
    const tTraffic& traffic() const { return mTraffic; }

private:
    cTSPMsg* answer(const cTSPMsg& msg);
    cTSPMsg* handleRequest(const cTSPMsg& msg);
    cTSPMsg* handleOffer(const cTSPMsg& msg);
    cTSPMsg* handleAccept(const cTSPMsg& msg);
    bool takes(int type) const;
    void offerRoutedPrefix(cTSPMsg& offer);
    void takeDelegation();
    void takeOfferedPrefix(const char* text);
    // The identifier assignAddress derives from the endpoint, and the one a
    // request that presents none gets (see endpointIdentifier).
    unsigned endpointCrc() const;
    unsigned endpointIdentifier() const;

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
    bool mOfferSent;
    long long mOfferTime;
    // Client side: the tunnel presents a key; broker side: the request asked
    // for one.
    bool mUsesKey;
    std::string mKey;
    bool mKeyProtected;
    in_addr mLocal = {};
    bool mDetached = false;
    bool mAsksRoutedPrefix = false;
    std::string mRoutedPrefix;
    long long mCreated = mLastActivity;
    long long mLastHeard = mLastActivity;
    mutable tTraffic mTraffic;
};
