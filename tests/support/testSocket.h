// A UDP socket on a loopback address for tests: it plays a client, a
// broker, a forger, or the daemon's own socket.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

// An IPv4 endpoint from dotted text and a port in host order.
sockaddr_in endpoint(const char* ip, unsigned short port);

class cTestSocket {
public:
    // Bound to ip on port (0: the kernel picks one); a failure to bind is a
    // test failure.
    explicit cTestSocket(const char* ip = "127.0.0.1", unsigned short port = 0);
    ~cTestSocket();
    cTestSocket(const cTestSocket&) = delete;
    cTestSocket& operator=(const cTestSocket&) = delete;

    int fd() const { return mFd; }
    const sockaddr_in& addr() const { return mAddr; }
    // "a.b.c.d:port", as the daemon's lines show an endpoint.
    std::string endpoint() const;

    void sendTo(const std::string& bytes, const sockaddr_in& to) const;
    // The next datagram, or "<none>" when nothing arrives within waitMs.
    // Loopback and socket-pair sends are queued before send returns, so 0
    // is enough for what the test itself made the daemon send.
    std::string receive(int waitMs = 0) const;
    // Every datagram queued now.
    std::vector<std::string> pending() const;

private:
    int mFd;
    sockaddr_in mAddr;
};

// The next datagram on any descriptor, or "<none>" at once when none waits.
std::string takeDatagram(int fd);
// Every datagram queued on it now (64 at most).
std::vector<std::string> pendingDatagrams(int fd);
