// Broker mode's two worker threads: the UDP worker (relay and setup) and the
// TUN worker (frames from the kernel to the tunnels). Both hand each packet
// to the one cBrokerMode, each with a packet host of its own: the UDP
// worker's writes the TUN device and answers peers, the TUN worker's sends
// to them.
#include "main/cBroker.h"

#include "broker/cBrokerMode.h"
#include "log/monotonicClock.h"
#include "packet/cSocketPacketHost.h"
#include "net/udpOffload.h"
#include "packet/frame.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const int kWaitSeconds = 5;

} // namespace

void cBroker::udpThread()
{
    mInfo << "Starting UDP thread..." << std::endl;
    cSocketPacketHost host(mUdpSocket, mTunFd, mTunOffload);
    // A run of datagrams with receive offload, else one datagram.
    std::vector<char> buffer(mUdpGro ? cGroBatch::kGroBufferSize : kFrameBufferSize);
    sockaddr_in sender;
    bool delegationsBehind = false;
    for (;;) {
        // A quiet spell still lets pending summaries out, and a delegation
        // file that is behind is written within a second or so.
        if (!mUdpQueue.wait(delegationsBehind ? 1 : kWaitSeconds)) {
            mMode->flushReports(monotonicNanoseconds());
            mUdpQueue.reportDrops(monotonicNanoseconds());
            delegationsBehind = saveDelegations(monotonicNanoseconds());
            continue;
        }
        std::memset(&sender, 0, sizeof(sender));
        in_addr local;
        int segment = 0;
        int n = mUdpQueue.pop(buffer.data(), static_cast<int>(buffer.size()), &sender, &local, &segment);
        if (segment == 0) {
            mMode->handleUdpDatagram(host, buffer.data(), n, sender, monotonicNanoseconds(), local);
        } else {
            mMode->handleUdpRun(host, buffer.data(), n, segment, sender, monotonicNanoseconds(),
                                local);
        }
        // What the run brought for the TUN device goes in as few writes as it can.
        host.flushFrames();
        mUdpQueue.reportDrops(monotonicNanoseconds());
        delegationsBehind = saveDelegations(monotonicNanoseconds());
    }
}

void cBroker::tunThread()
{
    mInfo << "Starting TUN thread..." << std::endl;
    cSocketPacketHost host(mUdpSocket, mTunFd, mTunOffload);
    // What was queued while the last batch went out is taken at once, so
    // frames of one size to one tunnel leave in one send.
    const int kBatchEntries = 64;
    std::vector<char> buffer(std::max<std::size_t>(4 * tunReadSize(), kBatchEntries * kFrameBufferSize));
    cPktQueue::sPopped popped[kBatchEntries];
    for (;;) {
        if (!mTunQueue.wait(kWaitSeconds)) {
            mMode->flushTunReports(monotonicNanoseconds());
            continue;
        }
        int count = mTunQueue.popBatch(buffer.data(), static_cast<int>(buffer.size()), popped, kBatchEntries);
        mMode->handleTunBatch(host, buffer.data(), popped, count, monotonicNanoseconds());
    }
}

// Both entry functions reach the one cBroker through gBroker, set before the
// threads start; their argument is unused.
void* udpThreadEntry(void*)
{
    gBroker->udpThread();
    return nullptr;
}

void* tunThreadEntry(void*)
{
    gBroker->tunThread();
    return nullptr;
}
