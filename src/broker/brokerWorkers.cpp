// Broker mode's two worker threads: the UDP worker (relay and setup) and the
// TUN worker (frames from the kernel to the tunnels). Both hand each packet
// to the one cBrokerMode.
#include "main/cBroker.h"

#include "broker/cBrokerMode.h"
#include "log/monotonicClock.h"
#include "net/tunOffloadIo.h"
#include "net/udpOffload.h"
#include "tunnel/frame.h"

#include <cstring>
#include <vector>

namespace {

const int kWaitSeconds = 5;

} // namespace

void cBroker::udpThread()
{
    mInfo << "Starting UDP thread..." << std::endl;
    // A run of datagrams with receive offload, else one datagram.
    std::vector<char> buffer(mUdpGro ? cGroBatch::kGroBufferSize : kFrameBufferSize);
    sockaddr_in sender;
    for (;;) {
        // A quiet spell still lets pending summaries out.
        if (!mUdpQueue.wait(kWaitSeconds)) {
            mMode->flushReports(monotonicNanoseconds());
            mUdpQueue.reportDrops(monotonicSeconds());
            continue;
        }
        std::memset(&sender, 0, sizeof(sender));
        in_addr local;
        int segment = 0;
        int n = mUdpQueue.pop(buffer.data(), static_cast<int>(buffer.size()), &sender, &local, &segment);
        if (segment == 0) {
            mMode->handleUdpDatagram(buffer.data(), n, sender, monotonicNanoseconds(), local);
        } else {
            mMode->handleUdpRun(buffer.data(), n, segment, sender, monotonicNanoseconds(), local);
        }
        // What the run brought for the TUN device goes in as few writes as it can.
        mMode->flushTunWrites();
        mUdpQueue.reportDrops(monotonicSeconds());
    }
}

void cBroker::tunThread()
{
    mInfo << "Starting TUN thread..." << std::endl;
    std::vector<char> buffer(tunReadSize());
    std::vector<unsigned char> frames;
    for (;;) {
        if (!mTunQueue.wait(kWaitSeconds)) {
            mMode->flushTunReports(monotonicNanoseconds());
            continue;
        }
        int n = mTunQueue.pop(buffer.data(), static_cast<int>(buffer.size()));
        if (!mTunOffload) {
            mMode->handleTunFrame(buffer.data(), n, monotonicNanoseconds());
            continue;
        }
        // A read with the virtio header: the wire frames it makes, cut here
        // and sent to their one tunnel in as few calls as the kernel takes.
        sWireFrames cut;
        if (!wireFramesOfRead(buffer.data(), n, mTunMtu, frames, cut)) {
            mMode->dropTunRead(n);
        } else if (cut.count == 1) {
            mMode->handleTunFrame(reinterpret_cast<char*>(frames.data()), static_cast<int>(cut.lastSize),
                                  monotonicNanoseconds());
        } else {
            mMode->handleTunRun(frames.data(), cut, monotonicNanoseconds());
        }
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
