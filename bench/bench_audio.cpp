// The audio ring against a board whose sample clock runs off the output's.
//
// The clock is simulated: one loop calls the reader's push and the device's
// pass in the order of their due times, so 60 s of sound take milliseconds.
// Pushes carry 548, 548, 547 sample frames (one video frame's worth each) at
// the board's rate of 32728 x (1 + drift) sample frames per second; passes
// ask for passFrames sample frames at exactly 32728 per second. Backlog
// figures are taken after each pass from 10 s on (settled); silent passes are
// counted separately for the first second (start-up) and afterwards.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/audio_ring.h"
#include "core/sdl/sdl_audio_engine.h"

namespace {

constexpr double kRate = 32728.0;
constexpr double kSeconds = 60.0;
constexpr double kSettled = 10.0;

struct Result {
    int32_t median = 0, low = 0, high = 0;
    int64_t skipped = 0, repeated = 0, silentStartUp = 0, silentSteady = 0, droppedBytes = 0;
    int64_t outsideBand = 0;
};

AudioRing ring;

Result simulate(double drift, int passFrames) {
    ring.setTotals(0, 0);
    static uint8_t chunk[548 * 4];
    for (unsigned i = 0; i < sizeof chunk; ++i) chunk[i] = static_cast<uint8_t>(i);
    static const int kPattern[3] = {548, 548, 547};

    const double boardRate = kRate * (1.0 + drift);
    const uint32_t passBytes = static_cast<uint32_t>(passFrames) * 4;
    Result r;
    std::vector<int32_t> backlogs;
    backlogs.reserve(static_cast<size_t>(kSeconds * kRate / passFrames) + 1);

    int64_t boardFrames = 0, pushes = 0, passes = 0;
    bool started = false;
    for (;;) {
        const int next = kPattern[pushes % 3];
        const double pushAt = static_cast<double>(boardFrames + next) / boardRate;
        const double passAt = static_cast<double>(passes) * passFrames / kRate;
        if (std::min(pushAt, passAt) >= kSeconds) break;
        if (pushAt <= passAt) {
            const uint32_t bytes = static_cast<uint32_t>(next) * 4;
            r.droppedBytes += bytes - ring.push(chunk, bytes);
            boardFrames += next;
            ++pushes;
            continue;
        }
        const uint64_t before = ring.readTotal();
        const AudioRing::Pass pass = ring.pull(passBytes);
        ++passes;
        if (!pass.data) {
            if (passAt < 1.0 || !started)
                ++r.silentStartUp;
            else
                ++r.silentSteady;
            continue;
        }
        started = true;
        const uint64_t advance = ring.readTotal() - before;
        if (advance > passBytes) ++r.skipped;
        if (advance < passBytes) ++r.repeated;
        if (passAt >= kSettled) {
            backlogs.push_back(pass.backlog);
            if (pass.backlog < static_cast<int32_t>(AudioRing::kLowWater) ||
                pass.backlog > static_cast<int32_t>(AudioRing::kHighWater))
                ++r.outsideBand;
        }
    }
    if (!backlogs.empty()) {
        r.low = *std::min_element(backlogs.begin(), backlogs.end());
        r.high = *std::max_element(backlogs.begin(), backlogs.end());
        std::nth_element(backlogs.begin(), backlogs.begin() + backlogs.size() / 2, backlogs.end());
        r.median = backlogs[backlogs.size() / 2];
    }
    return r;
}

// Args: board clock drift in tenths of a percent, sample frames per pass.
void BM_DriftOver60s(benchmark::State& state) {
    const double drift = static_cast<double>(state.range(0)) / 1000.0;
    const int passFrames = static_cast<int>(state.range(1));
    Result r;
    for (auto _ : state) {
        r = simulate(drift, passFrames);
        benchmark::DoNotOptimize(r);
    }
    auto& c = state.counters;
    c["backlog_median"] = r.median;
    c["backlog_min"] = r.low;
    c["backlog_max"] = r.high;
    c["passes_outside_band"] = static_cast<double>(r.outsideBand);
    c["frames_skipped"] = static_cast<double>(r.skipped);
    c["frames_repeated"] = static_cast<double>(r.repeated);
    c["silent_startup"] = static_cast<double>(r.silentStartUp);
    c["silent_steady"] = static_cast<double>(r.silentSteady);
    c["bytes_dropped"] = static_cast<double>(r.droppedBytes);
    // Ring backlog plus the device buffer, which is one pass.
    c["latency_ms"] = (r.median / 4.0 + passFrames) * 1000.0 / kRate;
    c["latency_max_ms"] = (r.high / 4.0 + passFrames) * 1000.0 / kRate;
}
BENCHMARK(BM_DriftOver60s)
    ->ArgNames({"drift_permille", "pass_frames"})
    // The SDL output's pass size, then larger passes for comparison.
    ->Args({5, audio::kSdlBufferFrames})
    ->Args({-5, audio::kSdlBufferFrames})
    ->Args({0, audio::kSdlBufferFrames})
    ->Args({5, 128})
    ->Args({-5, 128})
    ->Args({5, 512})
    ->Args({-5, 512})
    ->Unit(benchmark::kMillisecond);

// Real cost of one video frame's worth of sound: one push and the passes
// that drain it.
void BM_PushAndPasses(benchmark::State& state) {
    static uint8_t chunk[2192];
    ring.setTotals(0, 0);
    ring.push(chunk, 2192);
    for (auto _ : state) {
        ring.push(chunk, 2192);
        for (int i = 0; i < 4; ++i) benchmark::DoNotOptimize(ring.pull(512));
        benchmark::DoNotOptimize(ring.pull(144));
    }
    state.SetBytesProcessed(state.iterations() * 2192);
}
BENCHMARK(BM_PushAndPasses);

}  // namespace

BENCHMARK_MAIN();
