// A cBroker and its broker mode. The mode's sends and TUN writes stay in an
// in-memory packet host; the receive loop runs on stand-in descriptors (a
// loopback UDP socket as the broker socket, one end of a datagram socket
// pair as its TUN device). Loopback sockets give the clients their
// endpoints. Time is passed in.
#pragma once

#include "broker/cBrokerMode.h"
#include "configuredBroker.h"
#include "log/monotonicClock.h"
#include "logCapture.h"
#include "memoryPacketHost.h"
#include "setupMessages.h"
#include "testSocket.h"
#include "tunnel/cTunnel.h"
#include "packet/frame.h"
#include "tunnel/tunnelTable.h"
#include "tunnelTableReset.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

const long long kSecond = kNanosPerSecond;
// Any instant will do; every datagram of a test arrives at it unless the
// test says otherwise.
const long long kNow = 1000 * kSecond;

class cBrokerHarness : public testing::Test {
protected:
    void SetUp() override
    {
        resetTunnelTable();
        setSharedPrefix(ip6("2001:db8::"), 64);
        setSharedKeepalive(30);
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM, 0, mTun));
        configure("");
        mLog.records();
    }

    void TearDown() override
    {
        resetTunnelTable();
        close(mTun[0]);
        close(mTun[1]);
    }

    // Builds the broker and its mode again from these configuration lines,
    // on the same stand-in descriptors.
    void configure(const std::string& lines)
    {
        mMode.reset();
        mBroker = brokerFrom(lines);
        mBroker->useDescriptors(mTun[0], mBrokerSocket.fd());
        mMode.reset(new cBrokerMode(brokerModeSettings(*mBroker)));
    }

    // One datagram from sender, as the UDP worker pops it.
    void fromPeer(const std::string& bytes, const sockaddr_in& sender, long long now = kNow)
    {
        std::vector<char> buf(kFrameBufferSize);
        std::copy(bytes.begin(), bytes.end(), buf.begin());
        mMode->handleUdpDatagram(mHost, buf.data(), static_cast<int>(bytes.size()), sender, now);
    }

    // Runs the real setup exchange (request, offer, accept) for peer with
    // identifier id; returns its tunnel.
    cTunnel* establish(const cTestSocket& peer, const char* id)
    {
        fromPeer(tspBytes({"request", std::string("tunnelid=") + id, "keepalive=30"}), peer.addr());
        EXPECT_EQ("offer", sentTo(peer).substr(0, 5));
        fromPeer(tspBytes({"accept"}), peer.addr());
        mLog.records();
        return tunnelOf(peer);
    }

    // A loopback endpoint whose socket is closed again: nobody holds its port.
    static sockaddr_in closedEndpoint()
    {
        cTestSocket gone;
        return gone.addr();
    }

    static cTunnel* tunnelOf(const cTestSocket& peer)
    {
        std::lock_guard<std::mutex> hold(gTunnelsLock);
        return gTunnels.findByPeer(peer.addr());
    }

    // The oldest datagram the mode sent to peer, or the oldest frame it
    // wrote to the TUN device, taken; "<none>" when there is none.
    std::string sentTo(const cTestSocket& peer)
    {
        auto& sent = mHost.datagrams;
        auto to = std::find_if(sent.begin(), sent.end(), [&](const cMemoryPacketHost::sDatagram& d) {
            return std::memcmp(&d.to, &peer.addr(), sizeof(sockaddr_in)) == 0;
        });
        if (to == sent.end())
            return "<none>";
        std::string bytes = to->bytes;
        sent.erase(to);
        return bytes;
    }
    std::string tunWritten()
    {
        if (mHost.frames.empty())
            return "<none>";
        std::string frame = mHost.frames.front();
        mHost.frames.erase(mHost.frames.begin());
        return frame;
    }

    // The records of the tunnel table's category since the last call.
    Records tunnelRecords() { return mLog.records("cTunnel"); }

    cLogCapture mLog;
    cTestSocket mBrokerSocket; // the broker's own UDP socket
    int mTun[2] = {-1, -1};
    std::unique_ptr<cBroker> mBroker;
    std::unique_ptr<cBrokerMode> mMode;
    cMemoryPacketHost mHost;
};
