// End to end through SDL's disk audio driver: what reaches the "device" is
// written to a file, which the test reads back.
#include <gtest/gtest.h>

#include <SDL.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/audio_path.h"
#include "core/audio_ring.h"
#include "core/sdl/sdl_audio_engine.h"
#include "settings/settings.h"

namespace {

constexpr double kRate = audio::kSampleRate;
constexpr double kAmplitude = 16000.0;

// Stereo 16-bit tone, 440 Hz left and 660 Hz right, phase-continuous.
class ToneWriter {
public:
    void next(std::vector<uint8_t>& chunk, int frames) {
        chunk.resize(static_cast<size_t>(frames) * 4);
        for (int i = 0; i < frames; ++i, ++frame_) {
            const double t = static_cast<double>(frame_) / kRate;
            const auto left = static_cast<int16_t>(std::lround(kAmplitude * std::sin(2 * M_PI * 440 * t)));
            const auto right = static_cast<int16_t>(std::lround(kAmplitude * std::sin(2 * M_PI * 660 * t)));
            chunk[i * 4 + 0] = static_cast<uint8_t>(left & 0xFF);
            chunk[i * 4 + 1] = static_cast<uint8_t>((left >> 8) & 0xFF);
            chunk[i * 4 + 2] = static_cast<uint8_t>(right & 0xFF);
            chunk[i * 4 + 3] = static_cast<uint8_t>((right >> 8) & 0xFF);
        }
    }

private:
    int64_t frame_ = 0;
};

// Energy of one frequency (Goertzel).
double power(const std::vector<int16_t>& x, double frequency) {
    const double w = 2 * M_PI * frequency / kRate, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (int16_t v : x) {
        const double s0 = v + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

double crossingsPerSecond(const std::vector<int16_t>& x) {
    int rising = 0;
    for (size_t i = 1; i < x.size(); ++i)
        if (x[i - 1] < 0 && x[i] >= 0) ++rising;
    return rising * kRate / static_cast<double>(x.size());
}

int peak(const std::vector<int16_t>& x) {
    int p = 0;
    for (int16_t v : x) p = std::max(p, std::abs(static_cast<int>(v)));
    return p;
}

TEST(SdlOutput, PlaysTheBoardsToneInStereoAtTheStoredVolume) {
    char path[] = "/tmp/kestrel-audio-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", path, 1);
    // A pass every 4 ms, half of real time: slack for the writer on a busy
    // machine (the driver's default rounds down to 1 ms, twice real time).
    setenv("SDL_DISKAUDIODELAY", "4", 1);

    stopAudio();
    installSdlAudioEngine();
    utf8ToField(settings.outputDevice, "(system default)");
    settings.volume = 50;
    if (!startAudio()) GTEST_SKIP() << "SDL has no disk audio driver here";

    const audio::SdlOutputFormat format = audio::lastSdlOutputFormat();
    EXPECT_EQ(format.frequency, 32728);
    EXPECT_EQ(format.channels, 2);
    EXPECT_EQ(format.format, AUDIO_S16LSB);
    EXPECT_EQ(format.bufferFrames, audio::kSdlBufferFrames);
    EXPECT_EQ(audioLatencySamples(), audio::kSdlBufferFrames);

    // The disk driver's clock is not the board's, so the writer follows the
    // ring's fill instead of a frame timer, keeping it well filled so that a
    // busy machine does not starve the device: 547 and 548 sample frames a
    // push, as the board sends them.
    constexpr int kFramesToSend = 32728;
    std::thread writer([] {
        ToneWriter tone;
        std::vector<uint8_t> chunk;
        for (int sent = 0, n = 0; sent < kFramesToSend; ++n) {
            while (audioRing().writeTotal() - audioRing().readTotal() > 5000)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const int frames = n % 3 == 2 ? 547 : 548;
            tone.next(chunk, frames);
            pushAudio(chunk.data(), static_cast<int32_t>(chunk.size()));
            sent += frames;
        }
    });
    writer.join();
    while (audioRing().writeTotal() - audioRing().readTotal() >= 512)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stopAudio();  // closes the device and its file

    std::ifstream file(path, std::ios::binary);
    const std::vector<char> raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::remove(path);
    ASSERT_EQ(raw.size() % 4, 0u);
    std::vector<int16_t> left, right;
    for (size_t i = 0; i + 3 < raw.size(); i += 4) {
        left.push_back(static_cast<int16_t>(static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8)));
        right.push_back(static_cast<int16_t>(static_cast<uint8_t>(raw[i + 2]) | (static_cast<uint8_t>(raw[i + 3]) << 8)));
    }
    // From the first sound to the last, the tone plays without a gap.
    size_t first = 0, last = left.size();
    while (first < last && left[first] == 0 && right[first] == 0) ++first;
    while (last > first && left[last - 1] == 0 && right[last - 1] == 0) --last;
    ASSERT_GT(last - first, static_cast<size_t>(kFramesToSend * 9 / 10));
    for (size_t i = first + 1; i < last; ++i)
        ASSERT_FALSE(left[i] == 0 && right[i] == 0 && left[i - 1] == 0 && right[i - 1] == 0) << "gap at frame " << i;

    const std::vector<int16_t> l(left.begin() + first, left.begin() + last);
    const std::vector<int16_t> r(right.begin() + first, right.begin() + last);
    EXPECT_NEAR(crossingsPerSecond(l), 440, 440 * 0.02);
    EXPECT_NEAR(crossingsPerSecond(r), 660, 660 * 0.02);
    EXPECT_GT(power(l, 440), 100 * power(l, 660));  // left and right not swapped or mixed
    EXPECT_GT(power(r, 660), 100 * power(r, 440));
    EXPECT_NEAR(peak(l) / kAmplitude, 0.5, 0.01);
    EXPECT_NEAR(peak(r) / kAmplitude, 0.5, 0.01);
}

}  // namespace

namespace {

// Without any working sound driver the output stays off and capture goes on.
TEST(SdlOutput, NoSoundDriverLeavesTheOutputOff) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    stopAudio();
    installSdlAudioEngine();
    settings.volume = 75;
    EXPECT_FALSE(startAudio());
    EXPECT_TRUE(audioOutputDevices().empty());
    EXPECT_EQ(audioLatencySamples(), -1);
    setVolume(20);
    EXPECT_EQ(settings.volume, 75);
    const uint8_t chunk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint64_t before = audioRing().writeTotal();
    pushAudio(chunk, 8);
    EXPECT_EQ(audioRing().writeTotal(), before);

    // A driver that works again is picked up by the next start.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    EXPECT_TRUE(startAudio());
    EXPECT_EQ(settings.volume, 75);
    stopAudio();
}

}  // namespace
