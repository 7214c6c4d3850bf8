// A cBroker wired to real descriptors: a loopback UDP socket as the broker
// socket and one end of a datagram socket pair as its TUN device, plus
// loopback UDP peers that play the clients.
#pragma once

#include "logCapture.h"
#include "main/cBroker.h"
#include "tunnel/cTunnel.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

// Bytes of a setup message: every string followed by its NUL.
inline std::string tspBytes(std::initializer_list<const char*> strings)
{
    std::string out;
    for (const char* s : strings)
        out.append(s).push_back('\0');
    return out;
}

inline sockaddr_in loopbackAddress(uint16_t port)
{
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A UDP socket bound to 127.0.0.1 on a port of the kernel's choosing.
class cUdpPeer {
public:
    cUdpPeer() : mFd(socket(AF_INET, SOCK_DGRAM, 0)), mAddr(loopbackAddress(0))
    {
        bind(mFd, reinterpret_cast<sockaddr*>(&mAddr), sizeof(mAddr));
        socklen_t len = sizeof(mAddr);
        getsockname(mFd, reinterpret_cast<sockaddr*>(&mAddr), &len);
    }
    ~cUdpPeer() { close(mFd); }
    cUdpPeer(const cUdpPeer&) = delete;
    cUdpPeer& operator=(const cUdpPeer&) = delete;

    int fd() const { return mFd; }
    const sockaddr_in& addr() const { return mAddr; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(ntohs(mAddr.sin_port)); }

    // The next datagram, or "<none>" when nothing arrives within waitMs.
    std::string receive(int waitMs = 2000) const
    {
        pollfd p = {mFd, POLLIN, 0};
        if (poll(&p, 1, waitMs) != 1)
            return "<none>";
        char buf[4096];
        ssize_t n = recv(mFd, buf, sizeof(buf), 0);
        return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
    }

private:
    int mFd;
    sockaddr_in mAddr;
};

class cBrokerHarness : public ::testing::Test {
protected:
    void SetUp() override
    {
        clearTunnels();
        in6_addr prefix = {};
        inet_pton(AF_INET6, "2001:db8::", &prefix);
        setSharedPrefix(prefix, 64);
        setSharedKeepalive(30);
        mBroker.mUdpSocket = mBrokerPeer.fd();
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM, 0, mTun));
        mBroker.mTunFd = mTun[0];
        mLog.records();
    }

    void TearDown() override
    {
        clearTunnels();
        close(mTun[0]);
        close(mTun[1]);
        mBroker.mTunFd = -1;
        mBroker.mUdpSocket = -1;
    }

    static void clearTunnels()
    {
        std::lock_guard<std::mutex> hold(gTunnelsLock);
        for (cTunnel* t : gTunnels)
            delete t;
        gTunnels.clear();
    }

    // One datagram from peer, as the UDP worker pops it.
    void fromPeer(const std::string& bytes, const sockaddr_in& sender)
    {
        std::vector<char> buf(cBroker::kFrameBufferSize);
        std::copy(bytes.begin(), bytes.end(), buf.begin());
        mBroker.handleUdpDatagram(buf.data(), static_cast<int>(bytes.size()), sender);
    }

    // Runs the real setup exchange for peer with identifier id.
    void establish(const cUdpPeer& peer, const char* id)
    {
        std::string tag = std::string("tunnelid=") + id;
        fromPeer(tspBytes({"request", tag.c_str(), "keepalive=30"}), peer.addr());
        ASSERT_EQ("offer", peer.receive().substr(0, 5));
        fromPeer(tspBytes({"accept"}), peer.addr());
        mLog.records();
    }

    // What the broker wrote to its TUN device (writes are synchronous).
    std::string tunWritten()
    {
        char buf[4096];
        ssize_t n = recv(mTun[1], buf, sizeof(buf), MSG_DONTWAIT);
        return n < 0 ? "<none>" : std::string(buf, static_cast<size_t>(n));
    }

    static bool has(const std::vector<std::string>& records, const std::string& record)
    {
        return std::find(records.begin(), records.end(), record) != records.end();
    }

    static bool anyStartsWith(const std::vector<std::string>& records, const std::string& prefix)
    {
        return std::any_of(records.begin(), records.end(),
                           [&](const std::string& r) { return r.rfind(prefix, 0) == 0; });
    }

    // True when the expected records appear in this order (others may lie between).
    static bool inOrder(const std::vector<std::string>& records,
                        std::initializer_list<std::string> expected)
    {
        auto it = records.begin();
        for (const std::string& e : expected) {
            it = std::find(it, records.end(), e);
            if (it == records.end())
                return false;
            ++it;
        }
        return true;
    }

    cLogCapture mLog;
    cBroker mBroker;
    cUdpPeer mBrokerPeer; // the broker's own UDP socket
    int mTun[2] = {-1, -1};
};
