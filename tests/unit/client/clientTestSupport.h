// A client whose frames and datagrams stay in memory, with the cBroker's
// interface steps and its tunnel files in a temporary directory.
#pragma once

#include "client/cClientMode.h"
#include "client/cClientRunHost.h"
#include "config/cConfig.h"
#include "log/logText.h"
#include "log/monotonicClock.h"
#include "logCapture.h"
#include "main/cBroker.h"
#include "memoryPacketHost.h"
#include "privateNetwork.h"
#include "setupMessages.h"
#include "tempFile.h"
#include "testSocket.h"
#include "tunnel/cTunnel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// The key a broker gives the example tunnel.
constexpr char kExampleKey[] = "00112233445566778899aabbccddeeff";

// The example tunnel's request or accept (7, keepalive 30) presenting key.
inline std::string exampleSetup(const char* type, const std::string& key = kExampleKey)
{
    return tspBytes({type, "tunnelid=7", "keepalive=30", "tunnelkey=" + key});
}

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
    // Hands bytes from sender to the datagram event in a receive buffer, as
    // the run loop does.
    int deliver(const sockaddr_in& sender, const std::string& bytes, long long now = kStart);
    // What the client sent since the last call, each datagram checked to go
    // to the broker with the local address left to the kernel.
    std::vector<std::string> sentToBroker();
    // Puts the client tunnel in the established state through an offer.
    void establish();
    std::string tunIdPath() const { return mDir.path() + "/tunid"; }

    cLogCapture mLog;
    cTempDir mDir;
    cBroker mBroker;
    const sockaddr_in mBrokerEndpoint = endpoint("127.0.0.1", 3653);
    const sockaddr_in mForger = endpoint("127.0.0.1", 3654);
    cMemoryPacketHost mPackets;
    cClientRunHost mHost{mBroker};
    std::unique_ptr<cClientMode> mClient;
};
