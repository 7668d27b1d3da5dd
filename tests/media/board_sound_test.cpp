// The board's sound on the recording's time line, driven by a test clock:
// the simulated board's frames arrive late by a little jitter, with a board
// clock that is exact, fast or slow, and the track must keep its once-a-second
// pulses where the frames arrived.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "record/ffmpeg/board_sound_track.h"
#include "record/sound_tap.h"
#include "usb/sim/sim_board.h"
#include "usb/sim/sim_picture.h"

using media::BoardSoundTrack;
using usb::SimBoard;

namespace {

constexpr int kRate = 48000;

// Finds the pulses (left channel above half of the pulse) and the longest
// run of exact silence, without keeping the samples.
class PulseFinder final : public BoardSoundTrack::Sink {
public:
    void samples(const int16_t* data, int32_t frames) override {
        for (int32_t i = 0; i < frames; ++i, ++position) {
            const int16_t left = data[2 * i];
            if (left > SimBoard::kPulseAmplitude / 2 && position - lastPulse > kRate / 2) {
                pulses.push_back(position);
                lastPulse = position;
            }
            if (left == 0 && data[2 * i + 1] == 0) {
                if (++zeros > longestSilence) longestSilence = zeros;
            } else {
                zeros = 0;
            }
        }
    }
    std::vector<int64_t> pulses;
    int64_t position = 0;
    int64_t lastPulse = -kRate;
    int64_t zeros = 0;
    int64_t longestSilence = 0;
};

struct Feed {
    double drift;       // board clock against the computer's: +0.005 = 0.5 % fast
    double seconds;     // recording length in the computer's time
    int gapFrom = -1;   // frames [gapFrom, gapFrom + gapFrames) missing ...
    int gapFrames = 0;
    bool errorFrames = false;  // ... or arriving without sound
};

struct Result {
    std::vector<double> offsets;  // pulse time in the track minus its frame's arrival, s
    std::vector<uint64_t> pulseFrames;
    double longestSilence = 0;    // s
    double trackSeconds = 0;
};

uint32_t jitterSeed = 12345;
// Late by 0..4 ms, as a busy UI thread delivers frames.
int64_t jitter() {
    jitterSeed = jitterSeed * 1664525u + 1013904223u;
    return static_cast<int64_t>((jitterSeed >> 8) % 40000);
}

Result record(const Feed& run) {
    BoardSoundTrack track;
    std::string error;
    EXPECT_TRUE(track.open(kRate, &error)) << error;
    SoundTap tap;
    PulseFinder finder;
    const int64_t lead = 120000;  // the picture lands 12 ms after its frame arrived
    std::vector<uint8_t> sound(SoundTap::kMaxChunkBytes);
    std::vector<double> arrivals;
    const double framesPerSecond = SimBoard::kFramesPerSecond * (1.0 + run.drift);
    const uint64_t frames = static_cast<uint64_t>(run.seconds * framesPerSecond);
    int64_t now = 0;
    for (uint64_t k = 0; k < frames; ++k) {
        const int64_t nominal = std::llround(static_cast<double>(k) / framesPerSecond * 1e7) + 50000;
        arrivals.push_back(static_cast<double>(nominal + lead) / 1e7);
        const bool inGap = run.gapFrames > 0 && k >= static_cast<uint64_t>(run.gapFrom) &&
                           k < static_cast<uint64_t>(run.gapFrom + run.gapFrames);
        now = nominal + jitter();
        if (inGap && !run.errorFrames) continue;
        usb::drawSound(sound.data(), k);
        const int32_t bytes = inGap ? 0 : static_cast<int32_t>(4 * SimBoard::samplesInFrame(k));
        EXPECT_TRUE(tap.push(sound.data(), bytes, now));
        track.process(tap, &lead, now, false, finder);
    }
    track.process(tap, &lead, now, true, finder);
    track.finish(now, finder);

    Result r;
    for (int64_t p : finder.pulses) {
        // The marker frame nearest to the pulse.
        const double t = static_cast<double>(p) / kRate;
        const uint64_t k = static_cast<uint64_t>(std::llround((t - arrivals[0]) * framesPerSecond / 60.0)) * 60;
        if (k >= arrivals.size()) continue;
        r.pulseFrames.push_back(k);
        r.offsets.push_back(t - arrivals[k]);
    }
    r.longestSilence = static_cast<double>(finder.longestSilence) / kRate;
    r.trackSeconds = static_cast<double>(track.written()) / kRate;
    return r;
}

TEST(BoardSoundTrack, StaysOnTheTimeLineWhateverTheBoardClock) {
    // Ten minutes of the computer's time for each board clock.
    for (double drift : {0.0, 0.005, -0.005}) {
        SCOPED_TRACE(drift);
        const Feed run{drift, 600.0};
        const Result r = record(run);
        // Every pulse arrives, in order, one per marker frame.
        const double pulsesExpected = std::floor(run.seconds * SimBoard::kFramesPerSecond * (1 + drift) / 60.0);
        ASSERT_NEAR(static_cast<double>(r.offsets.size()), pulsesExpected, 1.0);
        for (size_t i = 1; i < r.pulseFrames.size(); ++i) ASSERT_EQ(r.pulseFrames[i], r.pulseFrames[i - 1] + 60);
        // At the start the pulse is where its frame arrived (within the jitter).
        EXPECT_LT(std::abs(r.offsets.front()), 0.005) << r.offsets.front();
        // After ten minutes it has not moved by more than 2 ms.
        EXPECT_LT(std::abs(r.offsets.back() - r.offsets.front()), 0.002)
            << "start " << r.offsets.front() << " s, end " << r.offsets.back() << " s";
        // Nowhere in between does it wander far (while the clock is learnt).
        for (double o : r.offsets) EXPECT_LT(std::abs(o - r.offsets.front()), 0.012) << o;
        // The track is as long as the recording.
        EXPECT_NEAR(r.trackSeconds, run.seconds, 0.05);
        std::printf("board clock %+.1f %%: pulse offset at start %+.2f ms, change after %.0f s %+.3f ms\n",
                    drift * 100, r.offsets.front() * 1e3, run.seconds, (r.offsets.back() - r.offsets.front()) * 1e3);
    }
}

TEST(BoardSoundTrack, AGapBecomesSilenceOfItsLength) {
    // One second of frames (60 at 59.83 per second) missing, or arriving
    // with no sound (error frames), in the middle of 20 s.
    for (bool errorFrames : {false, true}) {
        SCOPED_TRACE(errorFrames);
        const Feed run{0.0, 20.0, 630, 60, errorFrames};
        const Result r = record(run);
        const double gap = 60 / SimBoard::kFramesPerSecond;
        // The resampler's filter eats a few samples at each edge.
        EXPECT_NEAR(r.longestSilence, gap, 0.006);
        // The pulses after the gap are still in place; the one inside is gone.
        ASSERT_FALSE(r.offsets.empty());
        for (size_t i = 0; i < r.offsets.size(); ++i) {
            EXPECT_NE(r.pulseFrames[i], 660u);
            EXPECT_LT(std::abs(r.offsets[i] - r.offsets.front()), 0.005) << "pulse of frame " << r.pulseFrames[i];
        }
        EXPECT_NEAR(r.trackSeconds, run.seconds, 0.05);
    }
}

}  // namespace
