#include "cBenchTable.h"

#include "setupMessages.h"
#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"
#include "tunnel/tunnelTable.h"
#include "tunnelTableReset.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace {

const char kPrefix[] = "2001:db8::";
const uint8_t kPrefixLen = 64;

// Hands a message to a tunnel of the table as a received datagram would
// arrive: a private copy, since parsing changes the bytes in place.
cTSPMsg* deliver(cTunnel* tunnel, std::string bytes)
{
    return handleTunnelMsg(tunnel, &bytes[0], static_cast<int>(bytes.size()));
}

} // namespace

cBenchTable::cBenchTable() : mSendFd(-1), mReady(false) {}

cBenchTable::~cBenchTable()
{
    clear();
}

cBenchTable& cBenchTable::withTunnels(int count)
{
    static cBenchTable table;
    if (table.count() != count || !table.ready())
        table.build(count);
    return table;
}

void cBenchTable::clear()
{
    resetTunnelTable();
    mSinks.closeAll();
    mAddrs.clear();
    if (mSendFd >= 0)
        close(mSendFd);
    mSendFd = -1;
    mReady = false;
}

bool cBenchTable::build(int count)
{
    clear();
    sockaddr_in bound;
    mSendFd = openLoopbackUdp(bound);
    if (mSendFd < 0 || !mSinks.open(count)) {
        mWhy = "cannot open " + std::to_string(count + 1)
            + " loopback UDP sockets (descriptor limit?)";
        return false;
    }
    setSharedPrefix(ip6(kPrefix), kPrefixLen);
    setSharedKeepalive(0);
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    for (int i = 0; i < count; ++i) {
        if (!establish(i)) {
            mWhy = "tunnel " + std::to_string(i) + " did not reach the established state";
            return false;
        }
    }
    mReady = true;
    return true;
}

// Request (with identifier i + 1, so that every address differs), offer,
// accept: the exchange a client runs. Called with gTunnelsLock held.
bool cBenchTable::establish(int i)
{
    cTunnel* tunnel = findOrCreateTunnel(peer(i));
    delete deliver(tunnel, tspBytes({"request", "tunnelid=" + std::to_string(i + 1)}));
    delete deliver(tunnel, tspBytes({"accept"}));
    tunnel->release();
    mAddrs.push_back(*tunnel->getAddr());
    return tunnel->isEstablished();
}

std::vector<char> cBenchTable::frame(int from, int to) const
{
    const std::string f = udpFrame(mAddrs[static_cast<size_t>(from)],
                                   mAddrs[static_cast<size_t>(to)], kFrameSize);
    return std::vector<char>(f.begin(), f.end());
}
