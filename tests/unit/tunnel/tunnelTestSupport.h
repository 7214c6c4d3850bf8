// Shared pieces of the tunnel tests: endpoints, loopback sockets, records
// of one category, and a fixture that leaves the table and shared values as
// the process starts with them.
#pragma once

#include "logCapture.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

inline sockaddr_in endpoint(const char* ip, unsigned short port)
{
    sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// The bytes of a string literal with embedded NULs, without the final NUL.
template <size_t N>
std::string wire(const char (&text)[N])
{
    return std::string(text, N - 1);
}

inline in6_addr ip6(const char* text)
{
    in6_addr a{};
    inet_pton(AF_INET6, text, &a);
    return a;
}

inline std::string ip6Text(const in6_addr* a)
{
    char text[128];
    return inet_ntop(AF_INET6, a, text, sizeof(text)) ? text : "?";
}

// A UDP socket bound to 127.0.0.1 on a port the kernel picks.
class cLoopSocket {
public:
    cLoopSocket() : mFd(socket(AF_INET, SOCK_DGRAM, 0)), mAddr(endpoint("127.0.0.1", 0))
    {
        socklen_t len = sizeof(mAddr);
        if (bind(mFd, reinterpret_cast<sockaddr*>(&mAddr), sizeof(mAddr)) != 0
            || getsockname(mFd, reinterpret_cast<sockaddr*>(&mAddr), &len) != 0)
            ADD_FAILURE() << "cannot bind a loopback UDP socket";
    }
    ~cLoopSocket() { close(mFd); }
    cLoopSocket(const cLoopSocket&) = delete;
    cLoopSocket& operator=(const cLoopSocket&) = delete;

    int fd() const { return mFd; }
    const sockaddr_in& addr() const { return mAddr; }

    // Every datagram queued now; loopback delivery is done when sendto returns.
    std::vector<std::string> pending()
    {
        std::vector<std::string> got;
        char buf[2048];
        for (int i = 0; i < 64; ++i) {
            ssize_t n = recv(mFd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n < 0)
                break;
            got.emplace_back(buf, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int mFd;
    sockaddr_in mAddr;
};

class TunnelTest : public testing::Test {
protected:
    void TearDown() override
    {
        for (cTunnel* t : gTunnels)
            delete t;
        gTunnels.clear();
        setSharedPrefix(in6_addr{}, 64);
        setSharedKeepalive(0);
    }

    // The records of category "cTunnel" since the last call.
    std::vector<std::string> tunnelRecords()
    {
        std::vector<std::string> out;
        for (const std::string& r : mLog.records())
            if (r.find(" cTunnel ") != std::string::npos)
                out.push_back(r);
        return out;
    }

    // Feeds bytes to the exchange as a received datagram.
    static cTSPMsg* receive(cTunnel& t, std::string bytes)
    {
        return t.handleMsg(&bytes[0], static_cast<int>(bytes.size()));
    }

    static std::string bytesOf(cTSPMsg* msg)
    {
        return msg ? std::string(msg->getData(), static_cast<size_t>(msg->getLen())) : "<null>";
    }

    cLogCapture mLog;
};

// A table under the broker's limit, with a shared prefix for the offers; the
// limit and its tally go back to their defaults afterwards.
class BoundedTableTest : public TunnelTest {
protected:
    void SetUp() override
    {
        gTunnelLimitTally.reset();
        setSharedPrefix(ip6("2001:db8::"), 64);
    }
    void TearDown() override
    {
        gMaxTunnels = 4096;
        gTunnelLimitTally.reset();
        TunnelTest::TearDown();
    }
};

using Records = std::vector<std::string>;
