// The client loop's three events: a datagram from the UDP socket, a frame
// from the TUN device and a quiet interval.
#include "main/cBroker.h"

#include "config/cConfig.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// Flags 0 and protocol 0x86DD: a packet-information header with no packet.
const unsigned char kKeepalive[4] = {0x00, 0x00, 0x86, 0xDD};

// Frames of this many bytes or fewer from an established broker are keepalives.
const int kKeepaliveMax = 4;

// Frame offsets: IPv6 next header, source and destination address.
const int kNextHeaderAt = 10;
const int kSourceAt = 12;
const int kDestinationAt = 28;

// The client answers to the broker alone: anyone else who reaches its port
// could otherwise write into the TUN device or hand it a forged offer.
bool fromBroker(const sockaddr_in& from, const sockaddr_in& broker)
{
    return from.sin_family == AF_INET && from.sin_port == broker.sin_port
        && from.sin_addr.s_addr == broker.sin_addr.s_addr;
}

std::string endpointText(const sockaddr_in& peer)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

// A field that the frame does not hold in full shows as "?": a short frame
// is still relayed whole, but nothing is read beyond its n bytes.
std::string ip6Field(const char* frame, int n, int at)
{
    if (n < at + 16)
        return "?";
    in6_addr address;
    std::memcpy(&address, frame + at, sizeof address);
    char text[INET6_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET6, &address, text, sizeof text) == nullptr)
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

int cBroker::handleClientDatagram(cTunnel& tunnel, char* buf, int n, const sockaddr_in& from,
                                  const sockaddr_in& broker)
{
    mDebug << "Receive " << n << " bytes from UDP" << std::endl;
    // A failed read has no datagram to hand on and is no sign of the broker.
    if (n < 0)
        return CLIENT_CONTINUE;
    if (!fromBroker(from, broker)) {
        mDebug << "Dropped datagram from " << endpointText(from) << ", not the broker"
               << std::endl;
        return CLIENT_CONTINUE;
    }
    if (tunnel.isEstablished()) {
        if (n > kKeepaliveMax) {
            // The address texts are built only for a line that will be written.
            if (mDebug.wanted())
                mDebug << "IP 6 Packet " << ip6Field(buf, n, kSourceAt) << " ---> "
                       << ip6Field(buf, n, kDestinationAt) << " containing "
                       << nextHeaderField(buf, n) << std::endl;
            ssize_t written = write(mTunFd, buf, n);
            (void)written; // a frame the device refuses is lost, like one lost on the way
        } else {
            mDebug << "Receive Keepalive reply" << std::endl;
        }
        tunnel.touch();
        return CLIENT_CONTINUE;
    }
    cTSPMsg* reply = tunnel.handleMsg(buf, n);
    if (reply != nullptr) {
        sendToBroker(reply->getData(), reply->getLen(), broker);
        delete reply;
    }
    if (!tunnel.isEstablished())
        return CLIENT_CONTINUE;
    // The offer was just accepted: this runs once per run, as every later
    // datagram takes the established branch above.
    writeTunnelId(tunnel.getId());
    if (!setTunAddress(tunnel.getAddr(), getSharedPrefixLen()))
        return -1;
    if (cConfig::getInt("quib.route.default", 0) != 0 && !setDefaultRoute()) {
        mError << "Could set the default route. Bailing out" << std::endl;
        return -1;
    }
    return CLIENT_CONTINUE;
}

void cBroker::handleClientFrame(cTunnel& tunnel, char* buf, int n, const sockaddr_in& broker)
{
    mDebug << "Receive " << n << " bytes from TUN" << std::endl;
    // Before the offer there is nowhere to send a frame; a failed read has none.
    if (n < 0 || !tunnel.isEstablished())
        return;
    sendToBroker(buf, n, broker);
}

int cBroker::handleClientTimeout(cTunnel& tunnel, cTSPMsg& request, const sockaddr_in& broker)
{
    if (tunnel.isExpired()) {
        mError << "Seems nobody is home. Bailing out" << std::endl;
        return 0;
    }
    if (tunnel.isEstablished()) {
        sendToBroker(kKeepalive, sizeof kKeepalive, broker);
        mDebug << "Sending Keepalive" << std::endl;
    } else {
        mInfo << "Retry Setup request" << std::endl;
        sendToBroker(request.getData(), request.getLen(), broker);
    }
    return CLIENT_CONTINUE;
}
