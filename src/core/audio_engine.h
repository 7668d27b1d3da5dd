#pragma once
// What the sound output needs of an audio engine: a list of output devices by
// display name, an output opened on one of them with a volume, a pull-mode
// voice for 16-bit stereo PCM at 32728 samples per second, and a latency
// figure. The SDL implementation lives in core/sdl; tests install fakes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace audio {

constexpr int kSampleRate = 32728;
constexpr int kChannels = 2;
constexpr int kBytesPerSampleFrame = 4;  // 16-bit stereo

// Opens the system's default output.
constexpr int kDefaultDevice = -1;

// The voice's pull callback. Called on the engine's audio thread, once per
// pass, with the bytes the pass needs (a multiple of 4). Returns exactly that
// many bytes to play, or nullptr for a silent pass. Must not block or allocate.
class VoiceSource {
public:
    virtual ~VoiceSource() = default;
    virtual const uint8_t* passStart(uint32_t bytesRequired) = 0;
};

// One opened output with its voice. Created paused; start() begins the
// passes. Destruction returns only after the last pass has returned, and no
// pass runs afterwards. All members except latencySamples() are UI-thread only.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    virtual bool start() = 0;
    // 1.0 = full; applied to the samples of each pass.
    virtual void setVolume(float volume) = 0;
    virtual float volume() const = 0;
    // Samples between a pass and the speaker, as far as the engine knows.
    // Fixed for the life of the output, so safe from any thread.
    virtual int32_t latencySamples() const = 0;
};

class AudioEngine {
public:
    virtual ~AudioEngine() = default;
    // Display names of the output devices, in the engine's order.
    virtual std::vector<std::string> outputDevices() = 0;
    // deviceIndex indexes outputDevices(), or kDefaultDevice. nullptr on failure.
    virtual std::unique_ptr<AudioOutput> openOutput(int deviceIndex, VoiceSource& source) = 0;
};

// Makes the engine; nullptr when the platform has no sound.
using AudioEngineFactory = std::unique_ptr<AudioEngine> (*)();

}  // namespace audio
