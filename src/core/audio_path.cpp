#include "core/audio_path.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/audio_ring.h"
#include "base/debug_log.h"
#include "core/link_stats.h"
#include "settings/settings.h"

namespace {

AudioRing ring;

// The feed runs on the engine's audio thread; it reads only the ring.
class RingSource final : public audio::VoiceSource {
public:
    const uint8_t* passStart(uint32_t bytesRequired) override { return audioPass(bytesRequired); }
};
RingSource ringSource;

// UI thread only.
audio::AudioEngineFactory engineFactory = nullptr;
std::unique_ptr<audio::AudioEngine> engine;
std::unique_ptr<audio::AudioOutput> output;

std::atomic<int32_t> latencySamples{-1};

// The engine's last pass: when it took its bytes and how many. Until the
// device has played them they are queued in it; the pass after them comes
// when the device wants more, so the figure starts afresh each pass.
std::atomic<int64_t> lastPassNs{0};
std::atomic<uint32_t> lastPassBytes{0};

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Gate between the reader's push and a ring reset on the UI thread.
// kClosed: no voice, chunks are dropped. kOpen: pushes may enter. kPushing:
// the reader is inside a push. The reader only ever tries once and never
// waits; the UI thread closes the gate by waiting out one push at most.
enum Gate : int { kClosed, kOpen, kPushing };
std::atomic<int> gate{kClosed};

void closeGate() {
    for (;;) {
        int expected = kOpen;
        if (gate.compare_exchange_weak(expected, kClosed, std::memory_order_acquire)) return;
        if (expected == kClosed) return;
        std::this_thread::yield();
    }
}

void openGate() { gate.store(kOpen, std::memory_order_release); }

void examineChunk(const uint8_t* bytes, int32_t count) {
    uint8_t any = 0x00, all = 0xFF;
    for (int32_t i = 0; i < count; ++i) {
        any |= bytes[i];
        all &= bytes[i];
    }
    linkStats.audioBytesSeen.store(count, std::memory_order_relaxed);
    linkStats.audioAllZero.store(count != 0 && any == 0x00, std::memory_order_relaxed);
    linkStats.audioAllOnes.store(count != 0 && all == 0xFF, std::memory_order_relaxed);
}

void releaseAll() {
    output.reset();
    latencySamples.store(-1, std::memory_order_relaxed);
    engine.reset();
}

int chooseDevice() {
    const std::string wanted = fieldToUtf8(settings.outputDevice);
    const std::vector<std::string> names = engine->outputDevices();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == wanted) return static_cast<int>(i);
    return audio::kDefaultDevice;
}

}  // namespace

AudioRing& audioRing() { return ring; }

const uint8_t* audioPass(uint32_t bytesRequired) {
    lastPassBytes.store(bytesRequired, std::memory_order_relaxed);
    lastPassNs.store(steadyNs(), std::memory_order_release);
    const AudioRing::Pass pass = ring.pull(bytesRequired);
    if (pass.data) linkStats.audioPos.store(pass.backlog, std::memory_order_relaxed);
    return pass.data;
}

void pushAudio(const uint8_t* bytes, int32_t count) {
    if (count < 0) count = 0;
    if (debugConsoleOpen.load(std::memory_order_relaxed)) examineChunk(bytes, count);
    int expected = kOpen;
    if (!gate.compare_exchange_strong(expected, kPushing, std::memory_order_acquire)) return;
    // Whole sample frames only, so the channels never trade places.
    ring.push(bytes, static_cast<uint32_t>(count) & ~3u);
    gate.store(kOpen, std::memory_order_release);
}

void setAudioEngineFactory(audio::AudioEngineFactory factory) { engineFactory = factory; }

bool startAudio() {
    // The old voice's last pass has returned once it is destroyed, and the
    // reader is kept out until the new voice runs: neither side ever sees a
    // half-reset ring.
    closeGate();
    if (output) {
        output.reset();
        latencySamples.store(-1, std::memory_order_relaxed);
    } else if (!engine) {
        if (!engineFactory) return false;
        engine = engineFactory();
        if (!engine) return false;
    }

    ring.setTotals(0, 0);
    lastPassNs.store(0, std::memory_order_relaxed);
    std::unique_ptr<audio::AudioOutput> opened = engine->openOutput(chooseDevice(), ringSource);
    if (!opened || !opened->start()) {
        opened.reset();
        releaseAll();
        return false;
    }
    output = std::move(opened);
    latencySamples.store(output->latencySamples(), std::memory_order_relaxed);
    setVolume(settings.volume);
    openGate();
    return true;
}

void setVolume(int percent) {
    if (!output) return;
    const unsigned clamped = static_cast<unsigned>(percent) > 100u ? 100u : static_cast<unsigned>(percent);
    output->setVolume(static_cast<float>(clamped) / 100.0f);
    settings.volume = static_cast<int32_t>(clamped);
}

float audioVolume() { return output ? output->volume() : 0.0f; }

void stopAudio() {
    closeGate();
    releaseAll();
}

std::vector<std::string> audioOutputDevices() {
    if (!engine) return {};
    return engine->outputDevices();
}

int32_t audioLatencySamples() { return latencySamples.load(std::memory_order_relaxed); }

int32_t audioLatencyMs(int64_t nowNs) {
    if (latencySamples.load(std::memory_order_relaxed) < 0) return -1;
    int64_t queuedFrames = 0;
    if (const int64_t passAt = lastPassNs.load(std::memory_order_acquire); passAt != 0) {
        const int64_t played = std::max<int64_t>(0, nowNs - passAt) * audio::kSampleRate / 1000000000;
        const int64_t passFrames = lastPassBytes.load(std::memory_order_relaxed) / audio::kBytesPerSampleFrame;
        queuedFrames = std::max<int64_t>(0, passFrames - played);
    }
    const uint64_t written = ring.writeTotal(), read = ring.readTotal();
    const int64_t backlogFrames = written > read ? int64_t((written - read) / audio::kBytesPerSampleFrame) : 0;
    return int32_t((queuedFrames + backlogFrames) * 1000 / audio::kSampleRate);
}

int32_t audioLatencyMs() { return audioLatencyMs(steadyNs()); }
