#include "client/cClientMode.h"

#include "config/configKeys.h"
#include "log/logText.h"
#include "main/cBroker.h"
#include "status/daemonCounters.h"
#include "status/statusSnapshot.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"
#include "tunnel/frame.h"
#include "tunnel/tunnelTable.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// A field that the frame does not hold in full shows as "?": a short frame
// is still relayed whole, but nothing is read beyond its n bytes.
std::string ip6Field(const char* frame, int n, int at)
{
    const unsigned char* address = frameAddress(frame, n, at);
    char text[INET6_ADDRSTRLEN] = "";
    if (address == nullptr || inet_ntop(AF_INET6, address, text, sizeof text) == nullptr)
        return "?";
    return text;
}

std::string nextHeaderField(const char* frame, int n)
{
    if (n <= kNextHeaderAt)
        return "?";
    return std::to_string(static_cast<unsigned char>(frame[kNextHeaderAt]));
}

} // namespace

cClientMode::cClientMode(cBroker& broker, const sockaddr_in& brokerEndpoint)
    : mBroker(broker),
      mBrokerEndpoint(brokerEndpoint),
      mTunnel(new cTunnel()),
      mKeepalive(static_cast<unsigned>(configInt("quib.client.keepalive"))),
      mHeardSinceAccept(true),
      mTunConfigured(false),
      mTunAddress()
{
    mTunnel->setId(mBroker.readTunnelId());
    mTunnel->setKeepalive(mKeepalive);
    mTunnel->setKey(mBroker.readTunnelKey());
}

cClientMode::~cClientMode() = default;

void cClientMode::start()
{
    mTunWriter = cTunWriter(mBroker.tunOffload());
    mStarted = daemonCounters().startedAt.load();
    sendRequest();
}

void cClientMode::fillStatus(sStatusSnapshot& status, long long now) const
{
    status.broker = false;
    status.brokerEndpoint = endpointText(mBrokerEndpoint);
    sTunnelRow row;
    row.id = mTunnel->getId();
    row.endpoint = status.brokerEndpoint;
    row.state = mTunnel->getState();
    if (mTunConfigured)
        row.address = ip6Text(mTunAddress);
    row.completed = mSetUp;
    row.keyProtected = !mTunnel->getKey().empty();
    row.keepalive = mTunnel->getKeepalive();
    row.createdAgo = now - mStarted;
    row.heardAgo = mLastHeard < 0 ? -1 : now - mLastHeard;
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

void cClientMode::sendRequest()
{
    countUp(daemonCounters().setups);
    mRequest.reset(mTunnel->makeRequest());
    sendToBroker(mRequest->getData(), mRequest->getLen());
}

// The broker never confirmed the accept: a fresh tunnel with the identifier
// the offer gave asks again, and the next offer is taken as the first was.
void cClientMode::setUpAgain()
{
    mBroker.mInfo << "No word from the broker since the accept, setting up again" << std::endl;
    unsigned id = mTunnel->getId();
    std::string key = mTunnel->getKey();
    mTunnel.reset(new cTunnel());
    mTunnel->setId(id);
    mTunnel->setKeepalive(mKeepalive);
    mTunnel->setKey(key);
    mHeardSinceAccept = true;
    sendRequest();
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
    mBroker.mDebug << "Receive " << n << " bytes from UDP" << std::endl;
    // A failed read has no datagram to hand on and is no sign of the broker.
    if (n < 0)
        return CLIENT_CONTINUE;
    countUp(daemonCounters().datagramsIn);
    if (!fromBroker(from)) {
        mBroker.mDebug << "Dropped datagram from " << endpointText(from) << ", not the broker"
                       << std::endl;
        return CLIENT_CONTINUE;
    }
    mTraffic.packetsIn++;
    mTraffic.bytesIn += static_cast<uint64_t>(n);
    mLastHeard = now;
    if (mTunnel->isEstablished()) {
        if (n > kKeepaliveMax)
            relayToTun(buf, n);
        else
            mBroker.mDebug << "Receive Keepalive reply" << std::endl;
        mTunnel->touch(now);
        mHeardSinceAccept = true;
        return CLIENT_CONTINUE;
    }
    cTSPMsg* reply = mTunnel->handleMsg(buf, n);
    if (reply != nullptr) {
        sendToBroker(reply->getData(), reply->getLen());
        delete reply;
    }
    return mTunnel->isEstablished() ? takeOffer() : CLIENT_CONTINUE;
}

void cClientMode::relayToTun(char* buf, int n)
{
    // The address texts are built only for a line that will be written.
    if (mBroker.mDebug.wanted())
        mBroker.mDebug << "IP 6 Packet " << ip6Field(buf, n, kSourceAt) << " ---> "
                       << ip6Field(buf, n, kDestinationAt) << " containing "
                       << nextHeaderField(buf, n) << std::endl;
    // A frame the device refuses is lost, like one lost on the way.
    mTunWriter.write(mBroker.tunFd(), buf, n);
}

void cClientMode::flushTunWrites()
{
    mTunWriter.flush(mBroker.tunFd());
}

// The offer was just accepted: this runs once per setup, as every later
// datagram finds the tunnel established.
int cClientMode::takeOffer()
{
    mBroker.writeTunnelId(mTunnel->getId());
    if (!mTunnel->getKey().empty())
        mBroker.writeTunnelKey(mTunnel->getKey());
    int result = configureTun();
    if (result != CLIENT_CONTINUE)
        return result;
    // A broker that took the accept echoes this at once; silence until the
    // next quiet interval means the accept was lost.
    sendToBroker(kKeepaliveBytes, sizeof kKeepaliveBytes);
    mBroker.mDebug << "Sending Keepalive" << std::endl;
    mHeardSinceAccept = false;
    mSetUp = true;
    return CLIENT_CONTINUE;
}

// A repeated setup that got the address the device already has leaves the
// device as it is.
int cClientMode::configureTun()
{
    const in6_addr* address = mTunnel->getAddr();
    if (mTunConfigured && std::memcmp(address, &mTunAddress, sizeof mTunAddress) == 0)
        return CLIENT_CONTINUE;
    if (!mBroker.setTunAddress(address, getSharedPrefixLen()))
        return -1;
    if (configInt("quib.route.default") != 0 && !mBroker.setDefaultRoute()) {
        mBroker.mError << "Could set the default route. Bailing out" << std::endl;
        return -1;
    }
    mTunConfigured = true;
    mTunAddress = *address;
    return CLIENT_CONTINUE;
}

void cClientMode::onFrame(const char* buf, int n)
{
    if (n >= 0 && mBroker.tunOffload()) {
        sendFramesOfRead(buf, n);
        return;
    }
    sendFrameToBroker(buf, n);
}

void cClientMode::sendFrameToBroker(const char* frame, int n)
{
    mBroker.mDebug << "Receive " << n << " bytes from TUN" << std::endl;
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
    if (!wireFramesOfRead(buf, n, mBroker.tunMtu(), mFrames, cut)) {
        mBroker.mDebug << "Dropped a TUN read of " << n << " bytes that makes no frame" << std::endl;
        countDrop(DROP_BAD_FRAME);
        return;
    }
    const char* frames = reinterpret_cast<const char*>(mFrames.data());
    if (cut.count == 1) {
        sendFrameToBroker(frames, static_cast<int>(cut.lastSize));
        return;
    }
    for (std::size_t i = 0; mBroker.mDebug.wanted() && i < cut.count; ++i)
        mBroker.mDebug << "Receive " << (i + 1 == cut.count ? cut.lastSize : cut.frameSize)
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
    in_addr any = {};
    std::size_t sent = mRunSender.sendRun(mBroker.udpSocket(), frames, cut.frameSize, cut.count,
                                          cut.lastSize, mBrokerEndpoint, any);
    mTraffic.packetsOut += sent;
    mTraffic.bytesOut += sent == cut.count ? cut.totalSize() : sent * cut.frameSize;
}

int cClientMode::onQuiet(long long now)
{
    if (mTunnel->isExpired(now)) {
        mBroker.mError << "Seems nobody is home. Bailing out" << std::endl;
        return 0;
    }
    if (mTunnel->isEstablished() && !mHeardSinceAccept) {
        setUpAgain();
    } else if (mTunnel->isEstablished()) {
        sendToBroker(kKeepaliveBytes, sizeof kKeepaliveBytes);
        mBroker.mDebug << "Sending Keepalive" << std::endl;
    } else {
        mBroker.mInfo << "Retry Setup request" << std::endl;
        if (mRequest)
            sendToBroker(mRequest->getData(), mRequest->getLen());
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
    ssize_t sent = sendto(mBroker.udpSocket(), data, static_cast<size_t>(len), 0,
                          reinterpret_cast<const sockaddr*>(&mBrokerEndpoint),
                          sizeof mBrokerEndpoint);
    if (sent >= 0) {
        mTraffic.packetsOut++;
        mTraffic.bytesOut += static_cast<uint64_t>(sent);
    }
}
