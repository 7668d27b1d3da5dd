#include "core/sdl/sdl_audio_engine.h"

#include <SDL.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include "core/audio_path.h"

namespace audio {
namespace {

SdlOutputFormat lastFormat;

class SdlAudioOutput final : public AudioOutput {
public:
    SdlAudioOutput(VoiceSource& source) : source_(source) {}

    bool open(const char* deviceName) {
        SDL_AudioSpec desired{};
        desired.freq = kSampleRate;
        desired.format = AUDIO_S16LSB;  // the board's byte order
        desired.channels = kChannels;
        desired.samples = kSdlBufferFrames;
        desired.callback = &SdlAudioOutput::callback;
        desired.userdata = this;
        // No allowed changes: SDL converts to whatever the device wants, so
        // the callback always sees the board's format.
        device_ = SDL_OpenAudioDevice(deviceName, 0, &desired, &obtained_, 0);
        if (device_ == 0) return false;
        lastFormat = {obtained_.freq, obtained_.channels, obtained_.format, obtained_.samples};
        return true;
    }

    ~SdlAudioOutput() override {
        if (device_ == 0) return;
        // Taking the device lock waits out a running callback; once paused,
        // none starts, and closing joins SDL's audio thread.
        SDL_LockAudioDevice(device_);
        SDL_PauseAudioDevice(device_, 1);
        SDL_UnlockAudioDevice(device_);
        SDL_CloseAudioDevice(device_);
    }

    bool start() override {
        SDL_PauseAudioDevice(device_, 0);
        return SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_PLAYING;
    }

    void setVolume(float volume) override { volume_.store(volume, std::memory_order_relaxed); }
    float volume() const override { return volume_.load(std::memory_order_relaxed); }

    // SDL2 reports no device latency; the callback buffer is what we add.
    int32_t latencySamples() const override { return obtained_.samples; }

private:
    static void SDLCALL callback(void* userdata, Uint8* stream, int len) {
        static_cast<SdlAudioOutput*>(userdata)->fill(stream, static_cast<uint32_t>(len));
    }

    // SDL wants the whole buffer every time: a pass without data is silence.
    void fill(uint8_t* stream, uint32_t len) {
        const uint8_t* data = source_.passStart(len);
        if (!data) {
            std::memset(stream, 0, len);
            return;
        }
        const float gain = volume_.load(std::memory_order_relaxed);
        if (gain >= 1.0f) {
            std::memcpy(stream, data, len);
            return;
        }
        for (uint32_t i = 0; i + 1 < len; i += 2) {
            const int16_t s = static_cast<int16_t>(data[i] | (data[i + 1] << 8));
            const int16_t v = static_cast<int16_t>(std::lrintf(static_cast<float>(s) * gain));
            stream[i] = static_cast<uint8_t>(v & 0xFF);
            stream[i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
        }
    }

    VoiceSource& source_;
    SDL_AudioDeviceID device_ = 0;
    SDL_AudioSpec obtained_{};
    std::atomic<float> volume_{1.0f};
};

class SdlAudioEngine final : public AudioEngine {
public:
    ~SdlAudioEngine() override { SDL_QuitSubSystem(SDL_INIT_AUDIO); }

    std::vector<std::string> outputDevices() override {
        std::vector<std::string> names;
        const int count = SDL_GetNumAudioDevices(0);
        for (int i = 0; i < count; ++i) {
            const char* name = SDL_GetAudioDeviceName(i, 0);
            names.emplace_back(name ? name : "");
        }
        return names;
    }

    std::unique_ptr<AudioOutput> openOutput(int deviceIndex, VoiceSource& source) override {
        const char* name = nullptr;  // SDL's default output
        if (deviceIndex >= 0) name = SDL_GetAudioDeviceName(deviceIndex, 0);
        auto out = std::make_unique<SdlAudioOutput>(source);
        if (!out->open(name)) return nullptr;
        return out;
    }
};

}  // namespace

std::unique_ptr<AudioEngine> createSdlAudioEngine() {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return nullptr;
    return std::make_unique<SdlAudioEngine>();
}

SdlOutputFormat lastSdlOutputFormat() { return lastFormat; }

}  // namespace audio

void installSdlAudioEngine() { setAudioEngineFactory(&audio::createSdlAudioEngine); }
