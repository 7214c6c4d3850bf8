// A client caught between a loopback "broker" socket, a forger's socket and
// a datagram socket pair that stands in for its TUN device.
#pragma once

#include "client/cClientMode.h"
#include "client/cClientRunHost.h"
#include "config/cConfig.h"
#include "log/monotonicClock.h"
#include "logCapture.h"
#include "main/cBroker.h"
#include "net/cSocketPacketHost.h"
#include "privateNetwork.h"
#include "setupMessages.h"
#include "tempFile.h"
#include "testSocket.h"
#include "tunnel/cTunnel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class cClientTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Loads a configuration made of text, replacing what tests before loaded.
    void configure(const std::string& text);
    // The client mode, built on first use from the configuration and the
    // identifier file as they are then.
    cClientMode& client();
    cTunnel& tunnel() { return client().tunnel(); }
    // The client is made at kStart; at(s) is s seconds later.
    static constexpr long long kStart = 1000 * kNanosPerSecond;
    static long long at(long long seconds) { return kStart + seconds * kNanosPerSecond; }
    // Sends bytes from sender to the client's socket and hands what it
    // receives to the datagram event, as the run loop does.
    int deliver(const cTestSocket& sender, const std::string& bytes, long long now = kStart);
    // Puts the client tunnel in the established state through an offer.
    void establish();
    std::string tunIdPath() const { return mDir.path() + "/tunid"; }

    cLogCapture mLog;
    cTempDir mDir;
    cBroker mBroker;
    cTestSocket mBrokerSocket;
    cTestSocket mForger;
    cTestSocket mOwn; // the client's own socket
    int mTunFd = -1;   // the client's TUN stand-in: one end of a socket pair
    int mTunPeer = -1; // the test's end of it
    cClientRunHost mHost{mBroker};
    std::unique_ptr<cSocketPacketHost> mPackets;
    std::unique_ptr<cClientMode> mClient;
};
