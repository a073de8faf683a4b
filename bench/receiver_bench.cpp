// The receiver on a pseudo-terminal, the bench playing the controller: events per second
// through receive, classify and handle, and the time from an event's last byte on the line to
// "PENUM" in the host.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "host_instance.h"
#include "link/frame_format.h"
#include "pty_device.h"
#include "qorpro/qorpro_embed.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Event(int code) {
    char buffer[kiv::kFrameBufferSize] = {};
    std::snprintf(buffer, sizeof buffer, "\n;V 01/02/24 12:34:56,%02d,01,1F", code);
    return std::string(buffer, kiv::FinishFrame(buffer, kiv::kFrameCapacity));
}

// A started instance on a pseudo-terminal, its event-format command acknowledged.
struct Line {
    kivtest::PtyDevice pty;
    kivtest::HostInstance instance{1};
    int32_t penum = 0;

    Line() {
        qorReset();
        penum = qorDefineTag("PENUM", "PENUM", 1, KIV_TYPE_ANALOG);
        kiv::timingDefaults = kiv::kDriverTimings;
        kiv::timingDefaults.receiverStartDelayMs = 0;
        kiv::timingDefaults.pollDelayMs = 3600000;
        instance.ColdStart(pty.PortName());
        // Until its acknowledgement comes, the receiver leaves events alone.
        std::string received;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (received.find(";S V,Y;") == std::string::npos && Clock::now() < deadline) {
            received += pty.Receive(64, 100);
        }
        pty.Send("\nA\r");
    }
    ~Line() { kiv::timingDefaults = kiv::kDriverTimings; }

    // Waits until PENUM has been written 'count' times; false after a second without progress.
    bool WaitForWrites(uint32_t count) {
        while (qorWriteCount(penum) < count) {
            const uint64_t seen = qorChangeCount();
            if (qorWriteCount(penum) >= count) {
                break;
            }
            if (qorWaitForChange(seen, 1000) == seen) {
                return false;
            }
        }
        return true;
    }
};

void EventsPerSecond(benchmark::State& state) {
    Line line;
    const std::string event = Event(9);
    uint32_t sent = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        line.pty.Send(event);
        ++sent;
        if (!line.WaitForWrites(sent)) {
            state.SkipWithError("an event was not published");
            break;
        }
        line.pty.Receive(3, 100);  // its acknowledgement
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
// The receiver takes each frame as soon as it is there: no pause between frames.
BENCHMARK(EventsPerSecond)->UseRealTime()->Unit(benchmark::kMillisecond);

void EventLatency(benchmark::State& state) {
    Line line;
    const std::string event = Event(10);
    std::vector<double> latencies;
    uint32_t sent = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        line.pty.Send(event);
        const auto written = Clock::now();
        ++sent;
        if (!line.WaitForWrites(sent)) {
            state.SkipWithError("an event was not published");
            break;
        }
        const std::chrono::duration<double> latency = Clock::now() - written;
        state.SetIterationTime(latency.count());
        latencies.push_back(latency.count() * 1000.0);
        line.pty.Receive(3, 100);
    }
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        state.counters["median_ms"] = latencies[latencies.size() / 2];
        state.counters["p99_ms"] = latencies[latencies.size() * 99 / 100];
    }
}
BENCHMARK(EventLatency)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace
