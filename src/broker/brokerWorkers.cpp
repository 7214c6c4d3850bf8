// Broker mode's two worker threads: the UDP worker (relay and setup) and the
// TUN worker (frames from the kernel to the tunnels). Both hand each packet
// to the one cBrokerMode.
#include "main/cBroker.h"

#include "broker/cBrokerMode.h"
#include "log/monotonicClock.h"
#include "tunnel/frame.h"

#include <cstring>

namespace {

const int kWaitSeconds = 5;

} // namespace

void cBroker::udpThread()
{
    mInfo << "Starting UDP thread..." << std::endl;
    char buffer[kFrameBufferSize];
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
        int n = mUdpQueue.pop(buffer, sizeof(buffer), &sender, &local);
        mMode->handleUdpDatagram(buffer, n, sender, monotonicNanoseconds(), local);
        mUdpQueue.reportDrops(monotonicSeconds());
    }
}

void cBroker::tunThread()
{
    mInfo << "Starting TUN thread..." << std::endl;
    char buffer[kFrameBufferSize];
    for (;;) {
        if (!mTunQueue.wait(kWaitSeconds)) {
            mMode->flushTunReports(monotonicNanoseconds());
            continue;
        }
        int n = mTunQueue.pop(buffer, sizeof(buffer));
        mMode->handleTunFrame(buffer, n, monotonicNanoseconds());
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
