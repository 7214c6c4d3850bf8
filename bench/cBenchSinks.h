// UDP sockets bound on 127.0.0.1 that stand in for the peers of benchmark
// tunnels: every datagram the table sends lands in one of them, and the
// benchmark drains them so that no receive buffer ever fills.
#pragma once

#include <netinet/in.h>

#include <vector>

class cBenchSinks {
public:
    cBenchSinks() = default;
    ~cBenchSinks() { closeAll(); }
    cBenchSinks(const cBenchSinks&) = delete;
    cBenchSinks& operator=(const cBenchSinks&) = delete;

    // Replaces the current sockets with count new ones, each on a port the
    // kernel picks. False (and no sockets) when the descriptors run out.
    bool open(int count);
    void closeAll();

    int count() const { return static_cast<int>(mFds.size()); }
    const sockaddr_in& addr(int i) const { return mAddrs[static_cast<size_t>(i)]; }

    // Reads and discards what socket i holds; returns the datagrams read.
    int drain(int i);
    int drainAll();

private:
    std::vector<int> mFds;
    std::vector<sockaddr_in> mAddrs;
};

// A socket bound to 127.0.0.1 on a port the kernel picks, or -1.
int openLoopbackUdp(sockaddr_in& bound);

// Lets this process hold at least wanted descriptors (up to the hard limit).
bool raiseDescriptorLimit(int wanted);
