#include "tunnel/cTunnel.h"

#include "log/logText.h"
#include "tsp/cTSPMsg.h"
#include "tsp/prefixText.h"
#include "tunnel/cDelegationTable.h"
#include "tunnel/tunnelKey.h"
#include "tunnel/tunnelTable.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

const int kMsgCapacity = 1024;

} // namespace

cTSPMsg* cTunnel::makeRequest()
{
    cTSPMsg* msg = new cTSPMsg(kMsgCapacity);
    msg->addTag("request", static_cast<const char*>(nullptr));
    msg->addTag("tunnelid", mId);
    if (mKeepalive != 0)
        msg->addTag("keepalive", mKeepalive);
    if (mUsesKey)
        msg->addTag("tunnelkey", mKey.c_str());
    // Only a tunnel that a key protects may hold a routed prefix.
    if (mUsesKey && mAsksRoutedPrefix)
        msg->addTag("routedprefix", "");
    msg->dump();
    return msg;
}

void cTunnel::setKey(const std::string& key)
{
    mUsesKey = true;
    mKey = key;
}

// Only brokers send offers. A tunnel built from a peer endpoint (the broker's
// side) treats an offer like a message of unknown type: otherwise any sender
// could overwrite the broker's shared prefix and length and establish its own
// tunnel with any address. Every other message is handled the same on both
// sides, as the exchange does not look at the mode.
bool cTunnel::takes(int type) const
{
    return !(mFromPeer && type == TSP_OFFER);
}

cTSPMsg* cTunnel::handleMsg(char* data, int len)
{
    cTSPMsg msg(data, len);
    msg.dump();
    if (!takes(msg.getType()))
        return nullptr;
    return answer(msg);
}

cTSPMsg* cTunnel::answer(const cTSPMsg& msg)
{
    switch (msg.getType()) {
    case TSP_REQUEST:
        return handleRequest(msg);
    case TSP_OFFER:
        return handleOffer(msg);
    case TSP_ACCEPT:
        return handleAccept(msg);
    default:
        return nullptr;
    }
}

cTSPMsg* cTunnel::handleRequest(const cTSPMsg& msg)
{
    mId = msg.getTunnelId();
    mKeepalive = msg.getKeepalive();
    const char* key = msg.getTunnelKey();
    // On the broker's side the request decides whether keys are used; our
    // client's tunnel keeps presenting its key whatever reaches it.
    if (mFromPeer)
        mUsesKey = key != nullptr;
    // Anyone who sees an address knows its identifier: one that its owner
    // protects with a key is not taken without that key.
    // A client refused its identifier gets no routed prefix either: the one
    // it believes it has stays with its owner.
    bool mayHoldPrefix = mFromPeer && msg.getRoutedPrefix() != nullptr && mUsesKey;
    if (mId != 0 && !identifierMayBeTaken(mId, key, mPeer)) {
        mInfo << "Identifier 0x" << hexText(mId)
              << " is taken only with its tunnel key, handled as 0" << std::endl;
        mId = 0;
        mayHoldPrefix = false;
    }
    if (mId != 0 && identifierReserved(mId)) {
        mInfo << "Identifier 0x" << hexText(mId)
              << " names an address no tunnel may have, handled as 0" << std::endl;
        mId = 0;
    }
    if (mId != 0 && !mDetached)
        removeStaleTunnels(this);
    if (mId == 0)
        mId = endpointIdentifier();
    assignAddress();

    if (gKeepalive > mKeepalive)
        mKeepalive = gKeepalive;

    cTSPMsg* offer = new cTSPMsg(kMsgCapacity);
    offer->addTag("offer", static_cast<const char*>(nullptr));
    offer->addTag("tunnelid", mId);
    offer->addTag("ip6prefix", &gIp6Prefix);
    offer->addTag("ip6prefixlen", static_cast<unsigned>(gIp6PrefixLen));
    offer->addTag("ip6addr", &mAddr);
    offer->addTag("keepalive", mKeepalive);
    // Only a client that asked for a key gets one: others see the offer as
    // it always was.
    if (mUsesKey && tunnelKeysEnabled())
        offer->addTag("tunnelkey", tunnelKeyFor(mId).c_str());
    if (mayHoldPrefix && tunnelKeysEnabled())
        offerRoutedPrefix(*offer);
    mState = TUNNEL_OFFERED;
    return offer;
}

namespace {

bool holdsLiveTunnel(uint32_t id)
{
    return gTunnels.holdsProtected(id);
}

} // namespace

// The offer names the prefix the identifier holds or would take; it is
// taken only when the accept proves the key, so that requests from forged
// sources never use up the pool.
void cTunnel::offerRoutedPrefix(cTSPMsg& offer)
{
    if (!gDelegations.enabled())
        return;
    std::optional<uint64_t> place = gDelegations.placeFor(mId, holdsLiveTunnel, mLastHeard);
    if (!place) {
        gDelegations.noteRefused();
        return;
    }
    gDelegations.noteOffered(mId, *place, mLastHeard);
    offer.addTag("routedprefix", gDelegations.prefixText(*place).c_str());
}

void cTunnel::takeDelegation(const char* told)
{
    if (gDelegations.enabled())
        gDelegations.delegate(mId, mLastHeard, holdsLiveTunnel, told);
}

void cTunnel::establishWithKey(unsigned id, unsigned keepalive, const char* key,
                               const char* routedPrefix)
{
    mId = id;
    mKeepalive = keepalive;
    // The key proved itself; the broker keeps nothing of it.
    (void)key;
    mUsesKey = true;
    removeStaleTunnels(this);
    assignAddress();
    mOfferSent = true;
    mCompleted = true;
    mKeyProtected = true;
    mState = TUNNEL_ESTABLISHED;
    if (routedPrefix != nullptr)
        takeDelegation(routedPrefix);
}

cTSPMsg* cTunnel::handleAccept(const cTSPMsg& msg)
{
    bool keyValid = tunnelKeyValid(mId, msg.getTunnelKey());
    // A broker that requires keys establishes nothing without one.
    if (tunnelKeysRequired() && !keyValid)
        return nullptr;
    // Only an accept that answers an offer which really left completes the
    // exchange (and, where the request asked for a key, carries it); the
    // table keeps such tunnels when it is full. Anyone can accept blindly
    // behind an offer that was held back.
    if (mState == TUNNEL_OFFERED && mOfferSent && (!mUsesKey || keyValid))
        mCompleted = true;
    if (keyValid)
        mKeyProtected = true;
    mState = TUNNEL_ESTABLISHED;
    if (mFromPeer && keyValid && msg.getRoutedPrefix() != nullptr)
        takeDelegation(msg.getRoutedPrefix());
    return nullptr;
}

void cTunnel::noteOfferSent(long long now)
{
    mOfferSent = true;
    mOfferTime = now;
}

// Only a prefix in its proper form is kept: the client configures and
// writes what it keeps.
void cTunnel::takeOfferedPrefix(const char* text)
{
    in6_addr prefix;
    unsigned len = 0;
    if (mAsksRoutedPrefix && parsePrefixText(text, prefix, len) && len <= 64)
        mRoutedPrefix = prefixText(prefix, len);
    else
        mRoutedPrefix.clear();
}

cTSPMsg* cTunnel::handleOffer(const cTSPMsg& msg)
{
    gIp6PrefixLen = static_cast<uint8_t>(msg.getPrefixLen() & 0xff);
    std::memcpy(&gIp6Prefix, msg.getPrefix(), sizeof(gIp6Prefix));
    std::memcpy(&mAddr, msg.getAddr(), sizeof(mAddr));
    mId = msg.getTunnelId();
    mKeepalive = msg.getKeepalive();
    takeOfferedPrefix(msg.getRoutedPrefix());

    cTSPMsg* accept = new cTSPMsg(kMsgCapacity);
    accept->addTag("accept", static_cast<const char*>(nullptr));
    if (mUsesKey) {
        // A broker that knows keys gives one; one that does not leaves ours.
        if (msg.getTunnelKey() != nullptr)
            mKey = msg.getTunnelKey();
        // A broker that answered without keeping anything learns here what
        // it offered.
        accept->addTag("tunnelid", mId);
        accept->addTag("keepalive", mKeepalive);
        accept->addTag("tunnelkey", mKey.c_str());
        // Repeating the prefix is what takes it (see offerRoutedPrefix).
        if (!mRoutedPrefix.empty())
            accept->addTag("routedprefix", mRoutedPrefix.c_str());
    }

    mInfo << "Offered Tunnel Addr '" << ip6Text(mAddr) << "/" << static_cast<unsigned>(gIp6PrefixLen)
          << "'" << std::endl;
    mState = TUNNEL_ESTABLISHED;
    return accept;
}
