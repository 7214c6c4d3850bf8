// What the broker's thread hand-offs cost: a packet pushed to one queue, taken
// by a worker that waits on it, and pushed back through a second queue to
// the first thread, which waits too. One iteration is one round trip, two
// hand-offs: as many as a ping through the broker meets on each of its
// directions (receive thread to worker). With idle_us 0 the threads pass the
// packet back and forth at once; otherwise both rest that long before each
// round trip (outside the timing), as between the packets of a ping, so
// that a wake-up finds its thread asleep.
#include "queue/cPktQueue.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

void BM_HandoffRoundTrip(benchmark::State& state)
{
    const auto idle = std::chrono::microseconds(state.range(0));
    cPktQueue there(64);
    cPktQueue back(64);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        char packet[128];
        while (!done.load()) {
            if (!there.wait(1))
                continue;
            int n = there.pop(packet, sizeof packet);
            back.push(packet, n);
        }
    });
    char packet[128] = "echo request";
    for (auto _ : state) {
        if (idle.count() > 0)
            std::this_thread::sleep_for(idle);
        auto start = std::chrono::steady_clock::now();
        there.push(packet, 64);
        while (!back.wait(1)) {
        }
        back.pop(packet, sizeof packet);
        auto took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(took).count());
    }
    done = true;
    worker.join();
}

// The same round trip through two pipes, for comparison.
void BM_PipeRoundTrip(benchmark::State& state)
{
    const auto idle = std::chrono::microseconds(state.range(0));
    int there[2], back[2];
    if (pipe(there) != 0 || pipe(back) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    std::thread worker([&] {
        char packet[128];
        ssize_t n;
        while ((n = read(there[0], packet, sizeof packet)) > 0)
            if (write(back[1], packet, static_cast<size_t>(n)) != n)
                break;
    });
    char packet[128] = "echo request";
    for (auto _ : state) {
        if (idle.count() > 0)
            std::this_thread::sleep_for(idle);
        auto start = std::chrono::steady_clock::now();
        if (write(there[1], packet, 64) != 64 || read(back[0], packet, sizeof packet) != 64) {
            state.SkipWithError("pipe failed");
            break;
        }
        auto took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(took).count());
    }
    close(there[1]);
    worker.join();
    close(there[0]);
    close(back[0]);
    close(back[1]);
}

} // namespace

BENCHMARK(BM_PipeRoundTrip)->ArgName("idle_us")->Arg(0)->Arg(1000)->Arg(4000)->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HandoffRoundTrip)->ArgName("idle_us")->Arg(0)->Arg(1000)->Arg(4000)->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
