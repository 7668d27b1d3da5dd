#include "record/ffmpeg/ffmpeg_compressor.h"

#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

namespace media {

const std::vector<CodecDescriptor>& codecTable() {
    static const std::vector<CodecDescriptor> table = {
        {"Motion JPEG", "mjpeg", QualityControl::QScale, {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P},
         {{"huffman", "Huffman tables", {"default", "optimal"}, 0, 0, "optimal"}}},
        {"FFV1 lossless", "ffv1", QualityControl::None, {AV_PIX_FMT_0RGB32, AV_PIX_FMT_GBRP},
         {{"level", "Bitstream version", {"1", "3"}, 0, 0, "1"},
          {"coder", "Entropy coder", {"rice", "range_def"}, 0, 0, "rice"},
          {"context", "Context model", {"0", "1"}, 0, 0, "0"}}},
        {"Ut Video lossless", "utvideo", QualityControl::None, {AV_PIX_FMT_GBRP},
         {{"pred", "Prediction", {"left", "gradient", "median"}, 0, 0, "left"}}},
        {"Huffyuv lossless", "huffyuv", QualityControl::None, {AV_PIX_FMT_RGB24, AV_PIX_FMT_BGRA},
         {{"pred", "Prediction", {"left", "plane", "median"}, 0, 0, "left"}}},
        {"H.264 (x264)", "libx264", QualityControl::Crf, {AV_PIX_FMT_YUV420P},
         {{"preset", "Speed",
           {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow"}, 0, 0, "veryfast"},
          {"tune", "Tuned for", {"none", "animation", "film", "stillimage"}, 0, 0, "animation"},
          {"g", "Key frame every (frames)", {}, 1, 600, "60"}}},
    };
    return table;
}

const CodecDescriptor* findCodec(const std::string& friendlyName) {
    for (const CodecDescriptor& d : codecTable())
        if (friendlyName == d.friendlyName) return &d;
    return nullptr;
}

FfmpegVideoCompressor::FfmpegVideoCompressor(const CodecDescriptor& descriptor, const AVCodec* codec)
    : descriptor_(descriptor), codec_(codec), settings_(descriptor.encoder, descriptor.options) {}

HRESULT FfmpegVideoCompressor::GetInfo(double* defaultQuality, int32_t* capabilities) {
    if (defaultQuality) *defaultQuality = kDefaultQuality;
    if (capabilities) *capabilities = descriptor_.quality != QualityControl::None ? CompressionCaps_CanQuality : 0;
    return S_OK;
}

HRESULT FfmpegVideoCompressor::get_Quality(double* quality) {
    if (!quality) return E_POINTER;
    if (descriptor_.quality == QualityControl::None) return E_NOTIMPL;
    std::lock_guard lock(mutex_);
    *quality = quality_;
    return S_OK;
}

HRESULT FfmpegVideoCompressor::put_Quality(double quality) {
    if (descriptor_.quality == QualityControl::None) return E_NOTIMPL;
    if (!(quality >= 0.0 && quality <= 1.0)) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    quality_ = quality;
    return S_OK;
}

HRESULT FfmpegVideoCompressor::GetState(uint8_t* buffer, int32_t* size) { return settings_.getState(buffer, size); }

HRESULT FfmpegVideoCompressor::SetState(const uint8_t* buffer, int32_t size) {
    return settings_.setState(buffer, size);
}

std::vector<CompressorOption> FfmpegVideoCompressor::options() { return settings_.options(); }

HRESULT FfmpegVideoCompressor::setOption(const std::string& key, const std::string& value) {
    return settings_.setOption(key, value);
}

std::string FfmpegVideoCompressor::aboutText() {
    char text[512];
    std::snprintf(text, sizeof text, "%s\n\nEncoder \"%s\" (%s)\nlibavcodec %s", descriptor_.friendlyName,
                  codec_->name, codec_->long_name ? codec_->long_name : "", AV_STRINGIFY(LIBAVCODEC_VERSION));
    return text;
}

CodecContextPtr FfmpegVideoCompressor::openEncoder(int width, int height, int64_t frameDuration,
                                                   AVPixelFormat* pixelFormat, std::string* error) {
    auto fail = [&](const char* what, int code) {
        if (error) {
            char buf[AV_ERROR_MAX_STRING_SIZE] = {};
            if (code) av_strerror(code, buf, sizeof buf);
            *error = code ? std::string(what) + ": " + buf : what;
        }
        return CodecContextPtr{};
    };
    AVPixelFormat format = AV_PIX_FMT_NONE;
    for (AVPixelFormat wanted : descriptor_.pixelFormats) {
        for (const AVPixelFormat* p = codec_->pix_fmts; p && *p != AV_PIX_FMT_NONE; ++p)
            if (*p == wanted) {
                format = wanted;
                break;
            }
        if (format != AV_PIX_FMT_NONE) break;
    }
    if (format == AV_PIX_FMT_NONE) return fail("the compressor takes none of our pixel formats", 0);

    CodecContextPtr ctx(avcodec_alloc_context3(codec_));
    if (!ctx) return fail("out of memory", 0);
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = format;
    AVRational tb{static_cast<int>(frameDuration), 10000000};
    av_reduce(&tb.num, &tb.den, tb.num, tb.den, INT32_MAX);
    ctx->time_base = tb;
    ctx->framerate = av_inv_q(tb);
    ctx->max_b_frames = 0;  // AVI wants decode order = presentation order
    ctx->thread_count = 1;  // encoding runs on the streaming thread alone

    AVDictionary* opts = nullptr;
    double quality;
    const std::vector<std::string> values = settings_.values();
    {
        std::lock_guard lock(mutex_);
        quality = quality_;
    }
    for (size_t i = 0; i < descriptor_.options.size(); ++i) {
        const char* key = descriptor_.options[i].key;
        if (std::strcmp(key, "tune") == 0 && values[i] == "none") continue;
        av_dict_set(&opts, key, values[i].c_str(), 0);
    }
    switch (descriptor_.quality) {
        case QualityControl::QScale: {
            // 1.0 is the finest quantiser (2), 0.0 the coarsest (31).
            int q = 2 + static_cast<int>(std::lround((1.0 - quality) * 29.0));
            ctx->flags |= AV_CODEC_FLAG_QSCALE;
            ctx->global_quality = FF_QP2LAMBDA * q;
            break;
        }
        case QualityControl::Crf: {
            // Full quality is visually lossless (CRF 12) in the High profile:
            // CRF 0 would switch to the lossless High 4:4:4 Predictive
            // profile, which many players cannot decode.
            char crf[16];
            std::snprintf(crf, sizeof crf, "%.1f", 12.0 + (1.0 - quality) * 39.0);
            av_dict_set(&opts, "crf", crf, 0);
            av_dict_set(&opts, "profile", "high", 0);
            break;
        }
        case QualityControl::None: break;
    }
    int rc = avcodec_open2(ctx.get(), codec_, &opts);
    av_dict_free(&opts);
    if (rc < 0) return fail("the compressor could not be opened", rc);
    if (pixelFormat) *pixelFormat = format;
    return ctx;
}

}  // namespace media
