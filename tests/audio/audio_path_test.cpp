#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/audio_path.h"
#include "core/audio_ring.h"
#include "base/debug_log.h"
#include "core/link_stats.h"
#include "fake_engine.h"
#include "settings/settings.h"

namespace {

class AudioPathTest : public testing::Test {
protected:
    void SetUp() override {
        stopAudio();
        fake.failOpen = fake.failStart = fake.passThread = false;
        fake.enginesMade = 0;
        fake.openedWhileAnotherAlive = false;
        setAudioEngineFactory(&makeFakeEngine);
        utf8ToField(settings.outputDevice, "(system default)");
        settings.volume = 75;
        debugConsoleOpen = false;
        linkStats.clear();
    }
    void TearDown() override {
        stopAudio();
        debugConsoleOpen = false;
    }

    static void push(uint32_t count, uint8_t value) {
        std::vector<uint8_t> bytes(count, value);
        pushAudio(bytes.data(), static_cast<int32_t>(count));
    }
};

TEST_F(AudioPathTest, OutputDeviceIsChosenByExactName) {
    const struct {
        const char* outputDevice;
        int index;
    } cases[] = {
        {"USB Headset", 1},
        {"speakers", 2},  // case matters
        {"Speakers", 0},
        {"(system default)", audio::kDefaultDevice},
        {"Speaker", audio::kDefaultDevice},
        {"", audio::kDefaultDevice},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outputDevice);
        utf8ToField(settings.outputDevice, c.outputDevice);
        ASSERT_TRUE(startAudio());
        EXPECT_EQ(fake.lastDeviceIndex, c.index);
    }
    // Restarts keep the engine and never hold two outputs at once.
    EXPECT_EQ(fake.enginesMade, 1);
    EXPECT_FALSE(fake.openedWhileAnotherAlive);
    EXPECT_EQ(audioOutputDevices(), fake.devices);
}

TEST_F(AudioPathTest, VolumeIsClampedAppliedAndStored) {
    ASSERT_TRUE(startAudio());
    EXPECT_FLOAT_EQ(audioVolume(), 0.75f);  // start applies the stored volume
    const struct {
        int percent;
        int stored;
    } cases[] = {{-4, 100}, {75, 75}, {0, 0}, {100, 100}, {101, 100}, {40, 40}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.percent);
        setVolume(c.percent);
        EXPECT_EQ(settings.volume, c.stored);
        EXPECT_FLOAT_EQ(audioVolume(), c.stored / 100.0f);
    }
}

TEST_F(AudioPathTest, FailedStartLeavesNoOutput) {
    const struct {
        const char* name;
        audio::AudioEngineFactory factory;
        bool failOpen, failStart;
    } cases[] = {
        {"no factory installed", nullptr, false, false},
        {"no sound on this system", &makeNoEngine, false, false},
        {"device does not open", &makeFakeEngine, true, false},
        {"device does not start", &makeFakeEngine, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setAudioEngineFactory(c.factory);
        fake.failOpen = c.failOpen;
        fake.failStart = c.failStart;
        audioRing().setTotals(0, 0);
        EXPECT_FALSE(startAudio());
        EXPECT_EQ(fake.enginesAlive, 0);
        EXPECT_EQ(fake.outputsAlive, 0);
        EXPECT_EQ(audioLatencySamples(), -1);
        EXPECT_EQ(audioVolume(), 0.0f);
        EXPECT_TRUE(audioOutputDevices().empty());
        settings.volume = 33;
        setVolume(80);
        EXPECT_EQ(settings.volume, 33);
        push(2192, 1);
        EXPECT_EQ(audioRing().writeTotal(), 0u);
    }
    // A later start begins from scratch.
    setAudioEngineFactory(&makeFakeEngine);
    fake.failOpen = fake.failStart = false;
    EXPECT_TRUE(startAudio());
    EXPECT_EQ(audioLatencySamples(), 128);
}

// The statistics' latency: the ring's backlog plus what the last pass gave
// the device and it has not played yet, by the clock since that pass.
TEST_F(AudioPathTest, LatencyIsTheBacklogPlusTheUnplayedPartOfTheLastPass) {
    auto nowNs = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    EXPECT_EQ(audioLatencyMs(nowNs()), -1);  // no output
    ASSERT_TRUE(startAudio());
    EXPECT_EQ(audioLatencyMs(nowNs()), 0);  // nothing held, no pass yet
    for (int i = 0; i < 3; ++i) push(2192, 1);  // 6576 bytes, 1644 frames: 50.2 ms
    EXPECT_EQ(audioLatencyMs(nowNs()), 50);
    const int64_t passAt = nowNs();
    ASSERT_NE(audioPass(3272), nullptr);  // 818 frames (25.0 ms) to the device, 826 left
    // Unplayed at first, half played after 12.5 ms, nothing once its time is past
    // (a millisecond either way for the moment the pass took its bytes).
    EXPECT_NEAR(audioLatencyMs(passAt), 50, 1);
    EXPECT_NEAR(audioLatencyMs(passAt + 12'500'000), 37, 1);
    EXPECT_EQ(audioLatencyMs(passAt + 60'000'000), 25);
}

TEST_F(AudioPathTest, RestartEmptiesTheRing) {
    ASSERT_TRUE(startAudio());
    push(2192, 1);
    push(2192, 2);
    EXPECT_EQ(audioRing().writeTotal(), 4384u);
    ASSERT_NE(audioPass(2048), nullptr);
    EXPECT_EQ(linkStats.audioPos.load(), 4384 - 2048);

    utf8ToField(settings.outputDevice, "USB Headset");
    ASSERT_TRUE(startAudio());
    EXPECT_EQ(audioRing().writeTotal(), 0u);
    EXPECT_EQ(audioRing().readTotal(), 0u);
    push(8, 0x5A);
    EXPECT_EQ(audioRing().storage()[0], 0x5A);
    EXPECT_EQ(audioRing().storage()[7], 0x5A);
    EXPECT_EQ(audioRing().writeTotal(), 8u);
    push(6, 0x5B);  // a torn sample frame is not stored
    EXPECT_EQ(audioRing().writeTotal(), 12u);
}

TEST_F(AudioPathTest, ChunksAreExaminedOnlyWhileTheConsoleIsOpen) {
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        int32_t seen;
        bool allZero, allOnes;
    } cases[] = {
        {"skipped read", {}, 0, false, false},
        {"silence", std::vector<uint8_t>(2192, 0x00), 2192, true, false},
        {"line stuck high", std::vector<uint8_t>(2192, 0xFF), 2192, false, true},
        {"sound", {0x00, 0xFF, 0x12, 0x80}, 4, false, false},
    };
    debugConsoleOpen = true;  // without an output, too
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        linkStats.audioAllZero = !c.allZero;
        linkStats.audioAllOnes = !c.allOnes;
        pushAudio(c.bytes.data(), static_cast<int32_t>(c.bytes.size()));
        EXPECT_EQ(linkStats.audioBytesSeen.load(), c.seen);
        EXPECT_EQ(linkStats.audioAllZero.load(), c.allZero);
        EXPECT_EQ(linkStats.audioAllOnes.load(), c.allOnes);
    }
    debugConsoleOpen = false;
    push(2192, 0xFF);
    EXPECT_EQ(linkStats.audioBytesSeen.load(), 4);
    EXPECT_FALSE(linkStats.audioAllOnes.load());
}

// The reader keeps pushing and the device keeps pulling while the user picks
// one output after another: no push or pass may see a half-reset ring.
TEST_F(AudioPathTest, RestartsWhileBothSidesRun) {
    fake.passThread = true;
    ASSERT_TRUE(startAudio());
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t chunk[2192];
        std::memset(chunk, 0x11, sizeof chunk);
        while (!stop) {
            pushAudio(chunk, sizeof chunk);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 200; ++i) {
        utf8ToField(settings.outputDevice, i % 2 ? "Speakers" : "USB Headset");
        ASSERT_TRUE(startAudio());
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        const uint64_t held = audioRing().writeTotal() - audioRing().readTotal();
        EXPECT_LE(held, AudioRing::kMaxHeld);
    }
    stop = true;
    reader.join();
    const uint64_t held = audioRing().writeTotal() - audioRing().readTotal();
    EXPECT_LE(held, AudioRing::kMaxHeld);
    EXPECT_EQ(held % 4, 0u);
    EXPECT_GT(fake.passes.load() - fake.silentPasses.load(), 0u);
}

}  // namespace
