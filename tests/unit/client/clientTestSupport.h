// A client caught between a loopback "broker" socket, a forger's sockets
// and a datagram socket pair that stands in for its TUN device.
#pragma once

#include "config/cConfig.h"
#include "logCapture.h"
#include "main/cBroker.h"
#include "tempFile.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

// True when the binary runs in a network namespace of its own (root only).
bool inPrivateNetwork();
const std::string& whyNoPrivateNetwork();

// A UDP socket bound to ip on port (0: the kernel picks one).
int boundSocket(const char* ip, unsigned short port, sockaddr_in& addr);

// The datagram waiting on fd, or "<none>"; loopback and socket-pair sends
// are queued before send returns, so nothing needs to be awaited.
std::string takeDatagram(int fd);

// The offer of the worked example: tunnel 7, 2001:db8::7 in 2001:db8::/64.
std::string exampleOffer();

class cClientTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Loads a configuration made of text, replacing what tests before loaded.
    void configure(const std::string& text);
    // Sends bytes from sender to the client and hands what the client's
    // socket receives to the datagram handler, as the run loop does.
    int deliver(int sender, const std::string& bytes);
    // Puts the client tunnel in the established state through an offer.
    void establish();

    cLogCapture mLog;
    cTempDir mDir;
    cBroker mBroker;
    cTunnel mTunnel;
    int mBrokerFd = -1;
    sockaddr_in mBrokerAddr{};
    int mForgerFd = -1;
    sockaddr_in mForgerAddr{};
    int mTunPeer = -1; // the test's end of the TUN stand-in
};
