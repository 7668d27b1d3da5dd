#include "record/codec/msvideo1_compressor.h"

#include <algorithm>

namespace media {

namespace {

// The key name is the one earlier versions saved, so their blocks still load.
const std::vector<OptionSpec> kOptions = {
    {"keyint_min", "Key frame every (frames, 1 s at most)", {}, 1, 300, "60"},
};

}  // namespace

Video1Compressor::Video1Compressor() : settings_("msvideo1", kOptions) {}

HRESULT Video1Compressor::GetInfo(double* defaultQuality, int32_t* capabilities) {
    if (defaultQuality) *defaultQuality = kDefaultQuality;
    if (capabilities) *capabilities = CompressionCaps_CanQuality;
    return S_OK;
}

HRESULT Video1Compressor::get_Quality(double* quality) {
    if (!quality) return E_POINTER;
    std::lock_guard lock(mutex_);
    *quality = quality_;
    return S_OK;
}

HRESULT Video1Compressor::put_Quality(double quality) {
    if (!(quality >= 0.0 && quality <= 1.0)) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    quality_ = quality;
    return S_OK;
}

std::string Video1Compressor::aboutText() {
    return std::string(kFriendlyName) +
           "\n\n16-bit RGB555 in 4x4 blocks of one, two or eight colours; blocks that did not change "
           "are kept from the frame before.\nQuality 100 keeps all that RGB555 can hold; lower values "
           "allow more error per block for smaller files.";
}

bool Video1Compressor::openEncoder(msvideo1::Encoder& encoder, int width, int height, int64_t frameDuration,
                                   std::string* error) {
    if (!encoder.open(width, height)) {
        if (error) *error = "the picture is not made of whole 4x4 blocks";
        return false;
    }
    double quality;
    {
        std::lock_guard lock(mutex_);
        quality = quality_;
    }
    encoder.setQuality(quality);
    // Players seek to key frames: one at least every second.
    const int64_t perSecond = frameDuration > 0 ? std::max<int64_t>(1, 10000000 / frameDuration) : 1;
    const int64_t wanted = std::stoi(settings_.values().at(0));
    encoder.setKeyInterval(static_cast<int>(std::min(wanted, perSecond)));
    return true;
}

}  // namespace media
