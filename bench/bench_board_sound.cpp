// The board sound's cost per frame of the simulated board (547 or 548
// stereo samples each):
//
// BM_BoardSoundTap: what the frame dispatch pays, the copy into the tap.
// BM_BoardSoundPlace/<rate>: what the streaming thread pays to place one
// frame's sound on the time line and resample it (with the clock correction
// active), at the stored rate 48000 and, for comparison, at the board's own
// 32728 (the correction still resamples).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "record/ffmpeg/board_sound_track.h"
#include "record/sound_tap.h"
#include "usb/sim/sim_board.h"
#include "usb/sim/sim_picture.h"

namespace {

constexpr int kFrames = 600;  // ten seconds of the board, looped

struct Sound {
    Sound() : bytes(kFrames, std::vector<uint8_t>(SoundTap::kMaxChunkBytes)), lengths(kFrames) {
        for (int k = 0; k < kFrames; ++k) {
            usb::drawSound(bytes[k].data(), static_cast<uint64_t>(k));
            lengths[k] = static_cast<int32_t>(4 * usb::SimBoard::samplesInFrame(static_cast<uint64_t>(k)));
        }
    }
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<int32_t> lengths;
};

const Sound& sound() {
    static Sound s;
    return s;
}

// Copies the samples out, as the graph does into a packet.
class CopySink final : public media::BoardSoundTrack::Sink {
public:
    void samples(const int16_t* data, int32_t frames) override {
        std::memcpy(buffer.data(), data, static_cast<size_t>(frames) * 4);
        total += frames;
    }
    std::vector<int16_t> buffer = std::vector<int16_t>(1 << 15);
    int64_t total = 0;
};

void BM_BoardSoundTap(benchmark::State& state) {
    const Sound& s = sound();
    SoundTap tap;
    int k = 0;
    for (auto _ : state) {
        tap.push(s.bytes[k].data(), s.lengths[k], k * 167000);
        tap.pop();
        k = (k + 1) % kFrames;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_BoardSoundPlace(benchmark::State& state) {
    const Sound& s = sound();
    SoundTap tap;
    media::BoardSoundTrack track;
    std::string error;
    if (!track.open(static_cast<int>(state.range(0)), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    CopySink sink;
    const int64_t lead = 0;
    // The board 0.3 % fast: the correction is at work throughout.
    const double interval = 1e7 / (usb::SimBoard::kFramesPerSecond * 1.003);
    uint64_t k = 0;
    for (int i = 0; i < media::BoardSoundTrack::kLookahead; ++i, ++k)
        tap.push(s.bytes[k % kFrames].data(), s.lengths[k % kFrames], static_cast<int64_t>(k * interval));
    for (auto _ : state) {
        const int64_t now = static_cast<int64_t>(k * interval);
        tap.push(s.bytes[k % kFrames].data(), s.lengths[k % kFrames], now);
        track.process(tap, &lead, now, false, sink);
        ++k;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["ns_per_frame"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate |
                                                                        benchmark::Counter::kInvert);
    state.counters["correction_ppm"] = track.correction() * 1e6;
}

}  // namespace

BENCHMARK(BM_BoardSoundTap);
BENCHMARK(BM_BoardSoundPlace)->Arg(48000)->Arg(32728);
BENCHMARK_MAIN();
