// The broker's tunnel table filled with established tunnels for a benchmark:
// every tunnel went through request, offer and accept like a real client's,
// and its peer is a loopback socket of this program.
#pragma once

#include "cBenchSinks.h"

#include <netinet/in.h>

#include <string>
#include <vector>

class cBenchTable {
public:
    // Frames the benchmarks relay: a full-size packet at the tunnel MTU.
    static const int kFrameSize = 1280;

    cBenchTable();
    ~cBenchTable();
    cBenchTable(const cBenchTable&) = delete;
    cBenchTable& operator=(const cBenchTable&) = delete;

    // The one table of the program, holding exactly count established
    // tunnels (rebuilt only when count changes).
    static cBenchTable& withTunnels(int count);

    // False when the table could not be built; why() says what failed.
    bool ready() const { return mReady; }
    const std::string& why() const { return mWhy; }
    int count() const { return mSinks.count(); }

    // Tunnel i in creation order: 0 is the oldest, the last one a scan of
    // the table meets.
    const sockaddr_in& peer(int i) const { return mSinks.addr(i); }
    // A 1280-byte IPv6 frame from tunnel 'from' to tunnel 'to'.
    std::vector<char> frame(int from, int to) const;
    // The socket the broker sends on (bound to 127.0.0.1).
    int sendSocket() const { return mSendFd; }
    int drain(int i) { return mSinks.drain(i); }
    int drainAll() { return mSinks.drainAll(); }

private:
    bool build(int count);
    bool establish(int i);
    void clear();

    cBenchSinks mSinks;
    std::vector<in6_addr> mAddrs;
    int mSendFd;
    bool mReady;
    std::string mWhy;
};
