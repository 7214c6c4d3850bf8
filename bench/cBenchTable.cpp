#include "cBenchTable.h"

#include "tsp/cTSPMsg.h"
#include "tunnel/cTunnel.h"
#include "tunnel/tunnelTable.h"
#include "tunnelTableReset.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace {

const int kMsgCapacity = 1024;
const char kPrefix[] = "2001:db8::";
const uint8_t kPrefixLen = 64;

// Hands a message to a tunnel of the table as a received datagram would
// arrive: a private copy, since parsing changes the bytes in place.
cTSPMsg* deliver(cTunnel* tunnel, cTSPMsg& msg)
{
    std::vector<char> bytes(msg.getData(), msg.getData() + msg.getLen());
    return handleTunnelMsg(tunnel, bytes.data(), static_cast<int>(bytes.size()));
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
    in6_addr prefix{};
    inet_pton(AF_INET6, kPrefix, &prefix);
    setSharedPrefix(prefix, kPrefixLen);
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
    cTSPMsg request(kMsgCapacity);
    request.addTag("request", nullptr);
    request.addTag("tunnelid", static_cast<unsigned>(i + 1));
    delete deliver(tunnel, request);
    cTSPMsg accept(kMsgCapacity);
    accept.addTag("accept", nullptr);
    delete deliver(tunnel, accept);
    tunnel->release();
    mAddrs.push_back(*tunnel->getAddr());
    return tunnel->isEstablished();
}

std::vector<char> cBenchTable::frame(int from, int to) const
{
    std::vector<char> f(kFrameSize, 0);
    // Packet-information header: no flags, protocol 0x86dd.
    f[2] = static_cast<char>(0x86);
    f[3] = static_cast<char>(0xdd);
    // IPv6 header: version 6, payload length, next header UDP, hop limit.
    const int payload = kFrameSize - 4 - 40;
    f[4] = 0x60;
    f[8] = static_cast<char>(payload >> 8);
    f[9] = static_cast<char>(payload & 0xff);
    f[10] = 17;
    f[11] = 64;
    std::memcpy(&f[12], &mAddrs[static_cast<size_t>(from)], 16);
    std::memcpy(&f[28], &mAddrs[static_cast<size_t>(to)], 16);
    return f;
}
