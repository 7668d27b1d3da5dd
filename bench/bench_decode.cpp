// Decoding one frame per display type, beside a plain copy of the same
// display image size: the copy is the floor a converter is measured against.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "base/debug_log.h"
#include "display/decode.h"
#include "settings/settings.h"

namespace {

std::vector<uint8_t> randomFrame() {
    std::vector<uint8_t> storage(kVideoStorageAllocBytes);
    std::mt19937 random(42);
    for (uint8_t& byte : storage) byte = static_cast<uint8_t>(random());
    return storage;
}

void BM_Decode(benchmark::State& state) {
    std::vector<uint8_t> storage = randomFrame();
    FrameBuffer frame;
    frame.videoStorage = storage.data();
    settings.displayType = static_cast<uint32_t>(state.range(0));
    debugConsoleOpen = state.range(1) != 0;
    decodeFrame(&frame);  // allocates the image outside the timing
    for (auto _ : state) {
        decodeFrame(&frame);
        benchmark::DoNotOptimize(frame.displayImage);
        benchmark::ClobberMemory();
    }
    debugConsoleOpen = false;
    freeDisplayImage(&frame);
}

void BM_CopyImage(benchmark::State& state) {
    const DisplayLayout& layout = displayTypeTable[state.range(0)];
    const size_t bytes = static_cast<size_t>(layout.imageWidth) * layout.imageHeight * 4;
    std::vector<uint8_t> from(bytes, 1);
    std::vector<uint8_t> to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
}

void types(benchmark::internal::Benchmark* b) {
    for (int type = 1; type <= 6; ++type) b->Args({type, 0});
    b->Args({1, 1});  // with the debug console's stuck-bit gathering
}

}  // namespace

BENCHMARK(BM_Decode)->Apply(types)->ArgNames({"type", "console"})->Repetitions(9)->MinTime(0.1)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyImage)->DenseRange(1, 6)->ArgName("type")->Repetitions(9)->MinTime(0.1)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
