// What one datagram costs the broker's tunnel table, against the number of
// established tunnels in it:
//   RelayDatagram: the UDP worker's relay path for a data frame, with
//     gTunnelsLock held as the worker holds it: find the sender's tunnel,
//     forward the 1280-byte frame to the established tunnel that owns its
//     destination (one sendto on loopback), release the tunnel.
//   FindAndRelease: the same without the send, so the table's share shows.
//   SendToAll: one frame from the TUN device to every established tunnel
//     (linear by nature; the per_send counter is the cost of one copy).
// Sender and destination are the two oldest tunnels, the last ones a scan
// from the front of the table meets. With one tunnel, it is its own
// destination. Logging is off (root category at ERROR, no appender).
#include "cBenchTable.h"

#include "tunnel/cTunnel.h"

#include <benchmark/benchmark.h>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <mutex>

namespace {

// Sends between two drains of the destination's socket: well within its
// receive buffer, so no datagram is dropped for lack of room.
const int kDrainEvery = 64;

void silenceLogging()
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.setPriority(log4cpp::Priority::ERROR);
}

cBenchTable* tableFor(benchmark::State& state)
{
    cBenchTable& table = cBenchTable::withTunnels(static_cast<int>(state.range(0)));
    if (!table.ready()) {
        state.SkipWithError(table.why().c_str());
        return nullptr;
    }
    state.counters["tunnels"] = table.count();
    return &table;
}

int destinationOf(const cBenchTable& table)
{
    return table.count() > 1 ? 1 : 0;
}

// One data datagram as the UDP worker handles it, TUN write aside.
void relayOne(int sock, const sockaddr_in& sender, const std::vector<char>& frame)
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    cTunnel* tunnel = findOrCreateTunnel(sender);
    if (tunnel->isEstablished() && frame.size() > 4)
        forwardToTunnel(sock, frame.data(), static_cast<int>(frame.size()));
    tunnel->release();
}

void relayDatagram(benchmark::State& state)
{
    cBenchTable* table = tableFor(state);
    if (table == nullptr)
        return;
    const int to = destinationOf(*table);
    const std::vector<char> frame = table->frame(0, to);
    const sockaddr_in sender = table->peer(0);
    int sent = 0;
    long delivered = 0;
    for (auto _ : state) {
        relayOne(table->sendSocket(), sender, frame);
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
        cTunnel* tunnel = findOrCreateTunnel(sender);
        benchmark::DoNotOptimize(tunnel->isEstablished());
        tunnel->release();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void sendToAll(benchmark::State& state)
{
    cBenchTable* table = tableFor(state);
    if (table == nullptr)
        return;
    const std::vector<char> frame = table->frame(0, destinationOf(*table));
    long delivered = 0;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> hold(gTunnelsLock);
            sendToAllTunnels(table->sendSocket(), frame.data(), static_cast<int>(frame.size()));
        }
        state.PauseTiming();
        delivered += table->drainAll();
        state.ResumeTiming();
    }
    if (delivered != static_cast<long>(state.iterations()) * table->count())
        state.SkipWithError("not every tunnel received the broadcast");
    state.counters["per_send"] = benchmark::Counter(
        static_cast<double>(table->count()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void tunnelCounts(benchmark::internal::Benchmark* b)
{
    for (int n : {1, 100, 1000, 10000})
        b->Arg(n);
    b->ArgName("tunnels");
}

} // namespace

BENCHMARK(relayDatagram)->Apply(tunnelCounts)->Unit(benchmark::kNanosecond);
BENCHMARK(findAndRelease)->Apply(tunnelCounts)->Unit(benchmark::kNanosecond);
BENCHMARK(sendToAll)->Apply(tunnelCounts)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    silenceLogging();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
