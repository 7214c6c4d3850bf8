// What one datagram costs the broker, against the number of established
// tunnels in its table (1, 100, 1,000 and 10,000):
//   relayDatagram: the UDP worker's whole handling of a data datagram
//     (reading the clock, then cBrokerMode::handleUdpDatagram): find the
//     sender's tunnel, write the 1280-byte frame to the TUN descriptor (here
//     /dev/null), forward it to the established tunnel that owns its
//     destination (one sendto on loopback), release the tunnel.
//   findAndRelease: the table's share alone: find the sender's tunnel as the
//     UDP worker admits a known endpoint (look-up by peer, then
//     findOrCreateTunnel) and give the hold back.
//   sendToAll: one frame from the TUN queue to every established tunnel
//     (cBrokerMode::handleTunFrame); linear by nature, the per_send counter
//     is the cost of one copy.
// Sender and destination are the two oldest tunnels, the last ones a scan
// from the front of the table meets. With one tunnel, it is its own
// destination. Logging is as the daemon runs by default: records of INFO and
// above are kept (there are none on these paths), DEBUG lines are dropped;
// no appender, so nothing is written.
#include "cBenchTable.h"

#include "broker/cBrokerMode.h"
#include "config/cConfig.h"
#include "log/monotonicClock.h"
#include "main/cBroker.h"
#include "packet/cSocketPacketHost.h"
#include "tunnel/cTunnel.h"
#include "tunnel/tunnelTable.h"

#include <benchmark/benchmark.h>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace {

// Sends between two drains of the destination's socket: well within its
// receive buffer, so no datagram is dropped for lack of room.
const int kDrainEvery = 64;
// The largest table measured; the broker's limit leaves room for it.
const int kMostTunnels = 10000;

void quietLogging()
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.setPriority(log4cpp::Priority::INFO);
}

// False when the configuration file cannot be written or read.
bool loadLimitForLargestTable()
{
    char path[] = "/tmp/quibd-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return false;
    const std::string text = "quib.broker.maxtunnels = " + std::to_string(kMostTunnels) + "\nquib.broker.delivery = broadcast\n";
    bool loaded = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())
        && cConfig::load(path);
    close(fd);
    unlink(path);
    return loaded;
}

// Broker mode of the one broker of the program; null (the benchmark
// skipped) when the broker's configuration could not be read.
cBrokerMode* modeFor(benchmark::State& state)
{
    static cBroker* broker = nullptr;
    static cBrokerMode* mode = nullptr;
    if (broker == nullptr && loadLimitForLargestTable()) {
        broker = new cBroker();
        mode = new cBrokerMode(brokerModeSettings(*broker));
    }
    if (broker == nullptr)
        state.SkipWithError("cannot write or load the broker's configuration");
    return mode;
}

// A worker's packet host, sending on the table's socket and writing TUN
// frames to /dev/null.
cSocketPacketHost& hostFor(const cBenchTable& table)
{
    static int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    static std::unique_ptr<cSocketPacketHost> host;
    host.reset(new cSocketPacketHost(table.sendSocket(), devNull, false));
    return *host;
}

cBenchTable* tableFor(benchmark::State& state)
{
    cBenchTable& table = cBenchTable::withTunnels(static_cast<int>(state.range(0)));
    if (!table.ready()) {
        state.SkipWithError(table.why().c_str());
        return nullptr;
    }
    return &table;
}

int destinationOf(const cBenchTable& table)
{
    return table.count() > 1 ? 1 : 0;
}

void relayDatagram(benchmark::State& state)
{
    cBenchTable* table = tableFor(state);
    cBrokerMode* mode = table != nullptr ? modeFor(state) : nullptr;
    if (mode == nullptr)
        return;
    cSocketPacketHost& host = hostFor(*table);
    const int to = destinationOf(*table);
    std::vector<char> frame = table->frame(0, to);
    const sockaddr_in sender = table->peer(0);
    int sent = 0;
    long delivered = 0;
    for (auto _ : state) {
        mode->handleUdpDatagram(host, frame.data(), static_cast<int>(frame.size()), sender,
                                monotonicNanoseconds());
        if (++sent == kDrainEvery) {
            state.PauseTiming();
            delivered += table->drain(to);
            sent = 0;
            state.ResumeTiming();
        }
    }
    delivered += table->drain(to);
    if (delivered != static_cast<long>(state.iterations()))
        state.SkipWithError("not every relayed frame reached its destination");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void findAndRelease(benchmark::State& state)
{
    cBenchTable* table = tableFor(state);
    if (table == nullptr)
        return;
    const sockaddr_in sender = table->peer(0);
    for (auto _ : state) {
        std::lock_guard<std::mutex> hold(gTunnelsLock);
        benchmark::DoNotOptimize(gTunnels.findByPeer(sender));
        cTunnel* tunnel = findOrCreateTunnel(sender);
        benchmark::DoNotOptimize(tunnel->isEstablished());
        tunnel->release();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void sendToAll(benchmark::State& state)
{
    cBenchTable* table = tableFor(state);
    cBrokerMode* mode = table != nullptr ? modeFor(state) : nullptr;
    if (mode == nullptr)
        return;
    cSocketPacketHost& host = hostFor(*table);
    std::vector<char> frame = table->frame(0, destinationOf(*table));
    long delivered = 0;
    for (auto _ : state) {
        mode->handleTunFrame(host, frame.data(), static_cast<int>(frame.size()), 0);
        state.PauseTiming();
        delivered += table->drainAll();
        state.ResumeTiming();
    }
    if (delivered != static_cast<long>(state.iterations()) * table->count())
        state.SkipWithError("not every tunnel received the broadcast");
    state.counters["per_send"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * table->count(),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void tunnelCounts(benchmark::internal::Benchmark* b)
{
    for (int n : {1, 100, 1000, kMostTunnels})
        b->Arg(n);
    b->ArgName("tunnels");
}

} // namespace

BENCHMARK(relayDatagram)->Apply(tunnelCounts)->Unit(benchmark::kNanosecond);
BENCHMARK(findAndRelease)->Apply(tunnelCounts)->Unit(benchmark::kNanosecond);
BENCHMARK(sendToAll)->Apply(tunnelCounts)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    quietLogging();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
