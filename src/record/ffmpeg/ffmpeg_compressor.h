#pragma once
// Video compressors on libavcodec encoders that AVI can carry.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "record/codec/compressor_settings.h"
#include "record/media.h"

namespace media {

enum class QualityControl { None, QScale, Crf };

struct CodecDescriptor {
    const char* friendlyName;
    const char* encoder;
    QualityControl quality;
    std::vector<AVPixelFormat> pixelFormats;  // in order of preference
    std::vector<OptionSpec> options;  // keys are the encoder's option names
};

// The compressors this build knows, whether or not the encoder is present.
const std::vector<CodecDescriptor>& codecTable();
const CodecDescriptor* findCodec(const std::string& friendlyName);

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

class FfmpegVideoCompressor final : public VideoCompressor {
public:
    FfmpegVideoCompressor(const CodecDescriptor& descriptor, const AVCodec* codec);

    std::string friendlyName() const override { return descriptor_.friendlyName; }
    HRESULT GetInfo(double* defaultQuality, int32_t* capabilities) override;
    HRESULT get_Quality(double* quality) override;
    HRESULT put_Quality(double quality) override;
    HRESULT GetState(uint8_t* buffer, int32_t* size) override;
    HRESULT SetState(const uint8_t* buffer, int32_t size) override;
    std::vector<CompressorOption> options() override;
    HRESULT setOption(const std::string& key, const std::string& value) override;
    std::string aboutText() override;

    // Opens an encoder for width x height frames, one tick per frameDuration
    // (100 ns units). pixelFormat receives the format it takes.
    CodecContextPtr openEncoder(int width, int height, int64_t frameDuration, AVPixelFormat* pixelFormat,
                                std::string* error);

    static constexpr double kDefaultQuality = 0.75;

private:
    const CodecDescriptor& descriptor_;
    const AVCodec* codec_;
    CompressorSettings settings_;
    // UI thread (dialogs, graph building).
    std::mutex mutex_;
    double quality_ = kDefaultQuality;
};

}  // namespace media
