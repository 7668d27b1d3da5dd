#pragma once
// Sound capture devices through SDL, and the "PCM" pass-through compressor.
#include <string>
#include <vector>

#include "record/media.h"

namespace media {

// Initialises SDL's audio once for the process (capture devices, monitors
// included where the platform lists them).
bool initSdlAudio();
std::vector<std::string> captureDeviceNames();

class SdlAudioInput final : public Filter {
public:
    explicit SdlAudioInput(std::string name) : name_(std::move(name)) {}
    Category category() const override { return Category::AudioInput; }
    std::string friendlyName() const override { return name_; }

private:
    std::string name_;
};

// Sound goes into the file as 16-bit little-endian stereo PCM.
class PcmCompressor final : public Filter {
public:
    Category category() const override { return Category::AudioCompressor; }
    std::string friendlyName() const override { return "PCM"; }
};

}  // namespace media
