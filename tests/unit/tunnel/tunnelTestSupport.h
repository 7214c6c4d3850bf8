// Shared pieces of the tunnel tests: records of one category, the exchange
// as the broker's worker runs it, frames to loopback peers, and a fixture
// that leaves the table and shared values as the process starts with them.
#pragma once

#include "logCapture.h"
#include "setupMessages.h"
#include "testSocket.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"
#include "tunnel/tunnelTable.h"
#include "tunnelTableReset.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class TunnelTest : public testing::Test {
protected:
    void TearDown() override { resetTunnelTable(); }

    // The records of category "cTunnel" since the last call.
    std::vector<std::string> tunnelRecords() { return mLog.records("cTunnel"); }

    // Feeds bytes to the exchange as a received datagram, as the broker's
    // worker does: the table's indexes follow a tunnel of the table, and a
    // tunnel outside it is left to cTunnel::handleMsg alone.
    static cTSPMsg* receive(cTunnel& t, std::string bytes)
    {
        return handleTunnelMsg(&t, &bytes[0], static_cast<int>(bytes.size()));
    }

    // Runs the exchange for a tunnel of the table: a request presenting id
    // and, for an established tunnel, the accept.
    static cTunnel* setUpTunnel(cTunnel* t, unsigned id, bool accepted = true)
    {
        delete receive(*t, tspBytes({"request", "tunnelid=" + std::to_string(id)}));
        if (accepted)
            delete receive(*t, wire("accept\0"));
        return t;
    }

    // Gives a tunnel of the table identifier id and its address directly,
    // and tells the table as after every step of the exchange: for what the
    // exchange never leaves behind, several tunnels of one identifier (a
    // request drops the other holders of its identifier).
    static void readdress(cTunnel* t, unsigned id)
    {
        t->setId(id);
        t->assignAddress();
        gTunnels.update(t);
    }

    static std::string bytesOf(cTSPMsg* msg)
    {
        return msg ? std::string(msg->getData(), static_cast<size_t>(msg->getLen())) : "<null>";
    }

    cLogCapture mLog;
};

// Tunnels whose peers are loopback sockets, in 2001:db8::/64, and the frames
// that mSender sends them.
class TunnelFramesTest : public TunnelTest {
protected:
    void SetUp() override { setSharedPrefix(ip6("2001:db8::"), 64); }

    // A frame of size bytes whose IPv6 destination is dest.
    static std::string frameTo(const char* dest, size_t size = 80)
    {
        return ip6Frame("2001:db8::1", dest, size);
    }
    void forward(const std::string& frame)
    {
        forwardToTunnel(mSender.fd(), frame.data(), static_cast<int>(frame.size()));
    }
    cTestSocket mSender;
};
