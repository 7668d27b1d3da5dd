#pragma once
// The "Microsoft Video 1" compressor: our own encoder (msvideo1_encoder.h)
// behind the compressor interface, with an adjustable quality.
#include <mutex>
#include <string>
#include <vector>

#include "record/codec/compressor_settings.h"
#include "record/codec/msvideo1_encoder.h"
#include "record/media.h"

namespace media {

class Video1Compressor final : public VideoCompressor {
public:
    static constexpr const char* kFriendlyName = "Microsoft Video 1";
    static constexpr double kDefaultQuality = 0.85;

    Video1Compressor();

    std::string friendlyName() const override { return kFriendlyName; }
    HRESULT GetInfo(double* defaultQuality, int32_t* capabilities) override;
    HRESULT get_Quality(double* quality) override;
    HRESULT put_Quality(double quality) override;
    HRESULT GetState(uint8_t* buffer, int32_t* size) override { return settings_.getState(buffer, size); }
    HRESULT SetState(const uint8_t* buffer, int32_t size) override { return settings_.setState(buffer, size); }
    std::vector<CompressorOption> options() override { return settings_.options(); }
    HRESULT setOption(const std::string& key, const std::string& value) override {
        return settings_.setOption(key, value);
    }
    std::string aboutText() override;

    // Opens `encoder` for width x height frames, one every frameDuration
    // (100 ns units), with the quality and key frame spacing set now.
    bool openEncoder(msvideo1::Encoder& encoder, int width, int height, int64_t frameDuration, std::string* error);

private:
    CompressorSettings settings_;
    std::mutex mutex_;
    double quality_ = kDefaultQuality;  // guarded by mutex_
};

}  // namespace media
