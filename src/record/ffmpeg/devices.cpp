// Device lists per category, by friendly name, and the system clock.
#include <SDL.h>

#include <chrono>

#include "record/codec/msvideo1_compressor.h"
#include "record/ffmpeg/ffmpeg_compressor.h"
#include "record/ffmpeg/sdl_audio_input.h"

namespace media {

namespace {
// Monitor sources (what the speakers play) are capture devices too. The hint
// must be in place before anyone starts SDL's audio, the sound output included.
[[maybe_unused]] const bool monitorsListed = [] {
#ifdef SDL_HINT_AUDIO_INCLUDE_MONITORS
    SDL_SetHint(SDL_HINT_AUDIO_INCLUDE_MONITORS, "1");
#endif
    return true;
}();
}  // namespace

bool initSdlAudio() {
    // Kept for the life of the process, so the sound output's own start and
    // stop of SDL's audio never closes a capture device under a recording.
    static const bool ready = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    return ready;
}

std::vector<std::string> captureDeviceNames() {
    std::vector<std::string> names;
    if (!initSdlAudio()) return names;
    int count = SDL_GetNumAudioDevices(1);
    for (int i = 0; i < count; ++i) {
        const char* name = SDL_GetAudioDeviceName(i, 1);
        if (name && *name) names.emplace_back(name);
    }
    return names;
}

std::vector<Moniker> enumerateCategory(Category category) {
    std::vector<Moniker> list;
    switch (category) {
        case Category::VideoCompressor:
            // Ours first, then FFmpeg's encoders that this build has.
            list.push_back({category, Video1Compressor::kFriendlyName, "msvideo1"});
            for (const CodecDescriptor& d : codecTable())
                if (avcodec_find_encoder_by_name(d.encoder))
                    list.push_back({category, d.friendlyName, d.encoder});
            break;
        case Category::AudioCompressor:
            list.push_back({category, "PCM", "pcm_s16le"});
            break;
        case Category::AudioInput:
            for (const std::string& name : captureDeviceNames()) list.push_back({category, name, name});
            break;
        case Category::Source:
            break;
    }
    return list;
}

std::shared_ptr<Filter> Moniker::BindToObject() const {
    switch (category) {
        case Category::VideoCompressor: {
            if (friendlyName == Video1Compressor::kFriendlyName) return std::make_shared<Video1Compressor>();
            const CodecDescriptor* d = findCodec(friendlyName);
            const AVCodec* codec = d ? avcodec_find_encoder_by_name(d->encoder) : nullptr;
            if (!codec) return nullptr;
            return std::make_shared<FfmpegVideoCompressor>(*d, codec);
        }
        case Category::AudioCompressor:
            return std::make_shared<PcmCompressor>();
        case Category::AudioInput:
            return std::make_shared<SdlAudioInput>(deviceId);
        case Category::Source:
            break;
    }
    return nullptr;
}

namespace {
class SteadyClock final : public ReferenceClock {
public:
    int64_t GetTime() override {
        auto now = std::chrono::steady_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    }
};
}  // namespace

ReferenceClock& systemClock() {
    static SteadyClock clock;
    return clock;
}

}  // namespace media
