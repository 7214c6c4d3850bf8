#include "client/cClientMode.h"

#include "config/configKeys.h"
#include "log/logText.h"
#include "log/monotonicClock.h"
#include "counters/daemonCounters.h"
#include "status/statusSnapshot.h"
#include "tsp/cTSPMsg.h"
#include "tsp/prefixText.h"
#include "tunnel/cTunnel.h"
#include "packet/frame.h"
#include "packet/tunOffloadIo.h"
#include "tunnel/tunnelTable.h"

#include <cstring>
#include <string>
#include <utility>

namespace {

// A field that the frame does not hold in full shows as "?": a short frame
// is still relayed whole, but nothing is read beyond its n bytes.
std::string ip6Field(const char* frame, int n, int at)
{
    const unsigned char* bytes = frameAddress(frame, n, at);
    if (bytes == nullptr)
        return "?";
    in6_addr address;
    std::memcpy(&address, bytes, sizeof(address));
    std::string text = ip6Text(address);
    return text.empty() ? "?" : text;
}

std::string nextHeaderField(const char* frame, int n)
{
    if (n <= kNextHeaderAt)
        return "?";
    return std::to_string(static_cast<unsigned char>(frame[kNextHeaderAt]));
}

// A whole quiet interval, in whole seconds, lies between then and now.
bool quietSince(long long then, long long now)
{
    return wholeSeconds(now) - wholeSeconds(then) >= cClientMode::kQuietSeconds;
}

} // namespace

cClientMode::cClientMode(cClientHost& host, const sockaddr_in& brokerEndpoint, long long now)
    : cWlog("cBroker"),
      mHost(host),
      mBrokerEndpoint(brokerEndpoint),
      mKeepalive(static_cast<unsigned>(configInt("quib.client.keepalive"))),
      mAsksRoutedPrefix(configInt("quib.client.routedprefix") != 0),
      mHeardSinceAccept(true),
      mTunConfigured(false),
      mTunAddress()
{
    const char* lan = configText("quib.client.lan");
    mLan = lan == nullptr ? "" : lan;
    mTunnel = newTunnel(now, mHost.readTunnelId(), mHost.readTunnelKey());
}

std::unique_ptr<cTunnel> cClientMode::newTunnel(long long now, unsigned id,
                                                const std::string& key) const
{
    std::unique_ptr<cTunnel> tunnel(new cTunnel(now));
    tunnel->setId(id);
    tunnel->setKeepalive(mKeepalive);
    tunnel->setKey(key);
    if (mAsksRoutedPrefix)
        tunnel->askRoutedPrefix();
    return tunnel;
}

cClientMode::~cClientMode() = default;

void cClientMode::start(const sClientDevice& device, long long now)
{
    mDevice = device;
    mStarted = daemonCounters().startedAt.load();
    sendRequest(now);
}

void cClientMode::fillStatus(sStatusSnapshot& status, long long now) const
{
    status.broker = false;
    status.brokerEndpoint = endpointText(mBrokerEndpoint);
    sTunnelRow row;
    row.id = mTunnel->getId();
    row.endpoint = status.brokerEndpoint;
    row.state = mTunnel->getState();
    if (mTunConfigured) {
        row.address = ip6Text(mTunAddress);
        row.routedPrefix = mTunnel->getRoutedPrefix();
    }
    row.completed = mSetUp;
    row.keyProtected = !mTunnel->getKey().empty();
    row.keepalive = mTunnel->getKeepalive();
    row.createdAgo = wholeSeconds(now) - wholeSeconds(mStarted);
    row.heardAgo = mLastHeard < 0 ? -1 : wholeSeconds(now) - wholeSeconds(mLastHeard);
    row.packetsIn = mTraffic.packetsIn;
    row.bytesIn = mTraffic.bytesIn;
    row.packetsOut = mTraffic.packetsOut;
    row.bytesOut = mTraffic.bytesOut;
    status.tunnels.assign(1, row);
}

std::string cClientMode::summary() const
{
    if (!mTunConfigured || !mTunnel->isEstablished())
        return "setting up the tunnel";
    return "tunnel " + ip6Text(mTunAddress) + " up";
}

void cClientMode::sendRequest(long long now)
{
    countUp(daemonCounters().setups);
    mRequest.reset(setupTunnel().makeRequest());
    sendToBroker(mRequest->getData(), mRequest->getLen());
    mRequestAt = now;
}

void cClientMode::retrySetup(long long now)
{
    mInfo << "Retry Setup request" << std::endl;
    if (mRequest)
        sendToBroker(mRequest->getData(), mRequest->getLen());
    mRequestAt = now;
    if (mRenewal)
        sendKeepalive(now);
}

void cClientMode::sendKeepalive(long long now)
{
    sendToBroker(kKeepaliveBytes, sizeof kKeepaliveBytes);
    mDebug << "Sending Keepalive" << std::endl;
    mKeepaliveAt = now;
}

// Nothing came back after a keepalive: the accept was lost or the broker
// lost the tunnel (a restart). A fresh tunnel with the identifier and key
// asks again, and its offer is taken as the first was. A broker that still
// holds the tunnel takes the request for a bad frame, so the keepalive that
// follows lets it say so.
void cClientMode::setUpAgain(long long now)
{
    if (mHeardSinceAccept)
        mInfo << "No word from the broker since the keepalive, setting up again" << std::endl;
    else
        mInfo << "No word from the broker since the accept, setting up again" << std::endl;
    mRenewal = newTunnel(now, mTunnel->getId(), mTunnel->getKey());
    mHeardSinceAccept = true;
    sendRequest(now);
    sendKeepalive(now);
}

// The client answers to the broker alone: anyone else who reaches its port
// could otherwise write into the TUN device or hand it a forged offer.
bool cClientMode::fromBroker(const sockaddr_in& from) const
{
    return from.sin_family == AF_INET && from.sin_port == mBrokerEndpoint.sin_port
        && from.sin_addr.s_addr == mBrokerEndpoint.sin_addr.s_addr;
}

int cClientMode::onDatagram(char* buf, int n, const sockaddr_in& from, long long now)
{
    mDebug << "Receive " << n << " bytes from UDP" << std::endl;
    // A failed read has no datagram to hand on and is no sign of the broker.
    if (n < 0)
        return CLIENT_CONTINUE;
    countUp(daemonCounters().datagramsIn);
    if (!fromBroker(from)) {
        mDebug << "Dropped datagram from " << endpointText(from) << ", not the broker"
                       << std::endl;
        return CLIENT_CONTINUE;
    }
    mTraffic.packetsIn++;
    mTraffic.bytesIn += static_cast<uint64_t>(n);
    mLastHeard = now;
    if (!mTunnel->isEstablished() || forRenewal(buf, n))
        return exchange(buf, n, now);
    if (mRenewal) {
        mRenewal.reset();
        mInfo << "The broker still holds the tunnel, it goes on as it was" << std::endl;
    }
    if (n > kKeepaliveMax)
        relayToTun(buf, n);
    else
        mDebug << "Receive Keepalive reply" << std::endl;
    mTunnel->touch(now);
    mHeardSinceAccept = true;
    mKeepaliveAt = -1;
    return CLIENT_CONTINUE;
}

// While setting up again, a keepalive or a frame from the broker is the old
// tunnel's traffic; anything else belongs to the setup.
bool cClientMode::forRenewal(const char* buf, int n) const
{
    return mRenewal && n > kKeepaliveMax && !holdsIp6Packet(buf, n);
}

int cClientMode::exchange(char* buf, int n, long long now)
{
    cTunnel& setup = setupTunnel();
    cTSPMsg* reply = setup.handleMsg(buf, n);
    if (reply != nullptr) {
        sendToBroker(reply->getData(), reply->getLen());
        delete reply;
    }
    if (!setup.isEstablished())
        return CLIENT_CONTINUE;
    if (mRenewal) {
        mTunnel = std::move(mRenewal);
        // The tunnel set up again replaces one the broker had gone silent
        // on: its silence counts from this offer, not from when it began.
        mTunnel->touch(now);
    }
    return takeOffer(now);
}

void cClientMode::relayToTun(char* buf, int n)
{
    // The address texts are built only for a line that will be written.
    if (mDebug.wanted())
        mDebug << "IP 6 Packet " << ip6Field(buf, n, kSourceAt) << " ---> "
                       << ip6Field(buf, n, kDestinationAt) << " containing "
                       << nextHeaderField(buf, n) << std::endl;
    // A frame the device refuses is lost, like one lost on the way.
    mHost.putFrame(buf, n);
}

void cClientMode::flushTunWrites()
{
    mHost.flushFrames();
}

// The offer was just accepted: this runs once per setup, as every later
// datagram finds the tunnel established.
int cClientMode::takeOffer(long long now)
{
    mHost.writeTunnelId(mTunnel->getId());
    if (!mTunnel->getKey().empty())
        mHost.writeTunnelKey(mTunnel->getKey());
    int result = configureTun();
    if (result != CLIENT_CONTINUE)
        return result;
    takeRoutedPrefix();
    // A broker that took the accept echoes this at once; silence until the
    // next quiet interval means the accept was lost.
    sendKeepalive(now);
    mHeardSinceAccept = false;
    mSetUp = true;
    return CLIENT_CONTINUE;
}

// A repeated setup that got the address the device already has leaves the
// device as it is. One that got another address gives it to the device in
// place of the old one, which the broker would no longer take as a source;
// the default route goes through the device, so it stays.
int cClientMode::configureTun()
{
    const in6_addr* address = mTunnel->getAddr();
    if (mTunConfigured && std::memcmp(address, &mTunAddress, sizeof mTunAddress) == 0)
        return CLIENT_CONTINUE;
    int prefixLen = getSharedPrefixLen();
    if (!mHost.setTunAddress(address, prefixLen))
        return -1;
    if (mTunConfigured) {
        mHost.removeTunAddress(&mTunAddress, mTunPrefixLen);
    } else if (configInt("quib.route.default") != 0 && !mHost.setDefaultRoute()) {
        mError << "Could set the default route. Bailing out" << std::endl;
        return -1;
    }
    mTunConfigured = true;
    mTunAddress = *address;
    mTunPrefixLen = prefixLen;
    return CLIENT_CONTINUE;
}

// Every offer to a tunnel that asked says whether it gives a routed prefix:
// the file and the LAN interface follow the latest one, so a prefix the
// broker no longer gives is not left where scripts and hosts would use it.
void cClientMode::takeRoutedPrefix()
{
    if (!mAsksRoutedPrefix)
        return;
    const std::string& prefix = mTunnel->getRoutedPrefix();
    if (prefix.empty())
        mInfo << "The broker gave no routed prefix" << std::endl;
    else
        mInfo << "Routed prefix '" << prefix << "'" << std::endl;
    mHost.writeRoutedPrefix(prefix);
    configureLan(prefix);
}

// The LAN interface gets the prefix's ::1 with the delegated length, in
// place of an address from an earlier prefix. A failure leaves the tunnel
// running: only the network behind the client goes without.
void cClientMode::configureLan(const std::string& prefix)
{
    in6_addr address{};
    unsigned len = 0;
    bool given = !mLan.empty() && parsePrefixText(prefix.c_str(), address, len);
    address.s6_addr[15] = 1;
    if (given && mLanConfigured && static_cast<int>(len) == mLanPrefixLen
        && std::memcmp(&address, &mLanAddress, sizeof address) == 0)
        return;
    bool added = given && mHost.setLanAddress(mLan, &address, static_cast<int>(len));
    if (given && !added)
        mError << "Could not give '" << printableText(mLan.c_str())
               << "' the routed prefix's address, going on without it" << std::endl;
    if (mLanConfigured)
        mHost.removeLanAddress(mLan, &mLanAddress, mLanPrefixLen);
    mLanConfigured = added;
    mLanAddress = address;
    mLanPrefixLen = static_cast<int>(len);
}

void cClientMode::onFrame(const char* buf, int n)
{
    if (n >= 0 && mDevice.offload) {
        sendFramesOfRead(buf, n);
        return;
    }
    sendFrameToBroker(buf, n);
}

void cClientMode::sendFrameToBroker(const char* frame, int n)
{
    mDebug << "Receive " << n << " bytes from TUN" << std::endl;
    // Before the offer there is nowhere to send a frame; a failed read has none.
    if (n < 0)
        return;
    countUp(daemonCounters().framesIn);
    if (!mTunnel->isEstablished()) {
        countDrop(DROP_NO_TUNNEL);
        return;
    }
    std::size_t len = static_cast<std::size_t>(n);
    if (mGathered.add(&mBrokerEndpoint, frame, len))
        return;
    sendGatheredFrames();
    if (!mGathered.add(&mBrokerEndpoint, frame, len))
        sendDatagram(frame, n);
}

void cClientMode::sendGatheredFrames()
{
    if (mGathered.empty())
        return;
    sWireFrames cut = mGathered.cut();
    if (cut.count == 1)
        sendDatagram(mGathered.frames(), static_cast<int>(cut.lastSize));
    else
        sendRunToBroker(mGathered.frames(), cut);
    mGathered.clear();
}

// A read with the virtio header: the wire frames it makes, one line and one
// count each as if the device had given them one by one, sent as one run.
void cClientMode::sendFramesOfRead(const char* buf, int n)
{
    sWireFrames cut;
    if (!wireFramesOfRead(buf, n, mDevice.mtu, mFrames, cut)) {
        mDebug << "Dropped a TUN read of " << n << " bytes that makes no frame" << std::endl;
        countDrop(DROP_BAD_FRAME);
        return;
    }
    const char* frames = reinterpret_cast<const char*>(mFrames.data());
    if (cut.count == 1) {
        sendFrameToBroker(frames, static_cast<int>(cut.lastSize));
        return;
    }
    for (std::size_t i = 0; mDebug.wanted() && i < cut.count; ++i)
        mDebug << "Receive " << (i + 1 == cut.count ? cut.lastSize : cut.frameSize)
                       << " bytes from TUN" << std::endl;
    countUp(daemonCounters().framesIn, cut.count);
    if (!mTunnel->isEstablished()) {
        for (std::size_t i = 0; i < cut.count; ++i)
            countDrop(DROP_NO_TUNNEL);
        return;
    }
    sendGatheredFrames();
    sendRunToBroker(mFrames.data(), cut);
}

void cClientMode::sendRunToBroker(const unsigned char* frames, const sWireFrames& cut)
{
    std::size_t sent = mHost.putRun(frames, cut.frameSize, cut.count, cut.lastSize, toBroker());
    mTraffic.packetsOut += sent;
    mTraffic.bytesOut += sent == cut.count ? cut.totalSize() : sent * cut.frameSize;
}

int cClientMode::onQuiet(long long now)
{
    return takeStep(now, true);
}

int cClientMode::onPass(long long now)
{
    return takeStep(now, false);
}

// Silence is measured from the broker's last datagram: a keepalive after a
// quiet interval, a setup again when nothing followed it for another, the
// request again each interval until an offer comes, and the end once the
// tunnel's keepalive has passed.
int cClientMode::takeStep(long long now, bool quiet)
{
    if (mTunnel->isExpired(now)) {
        mError << "Seems nobody is home. Bailing out" << std::endl;
        return 0;
    }
    if (!mTunnel->isEstablished() || mRenewal) {
        if (quiet || quietSince(mRequestAt, now))
            retrySetup(now);
    } else if (mKeepaliveAt >= 0) {
        if (quiet || quietSince(mKeepaliveAt, now))
            setUpAgain(now);
    } else if (quiet || quietSince(mLastHeard, now)) {
        sendKeepalive(now);
    }
    return CLIENT_CONTINUE;
}

void cClientMode::sendToBroker(const void* data, int len)
{
    sendGatheredFrames();
    sendDatagram(data, len);
}

void cClientMode::sendDatagram(const void* data, int len)
{
    // The result is not examined: a lost send is made good by the retry and
    // keepalive rules.
    ssize_t sent = mHost.putPacket(data, static_cast<std::size_t>(len), toBroker());
    if (sent >= 0) {
        mTraffic.packetsOut++;
        mTraffic.bytesOut += static_cast<uint64_t>(sent);
    }
}
