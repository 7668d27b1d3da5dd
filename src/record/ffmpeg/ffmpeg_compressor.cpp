#include "record/ffmpeg/ffmpeg_compressor.h"

#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

namespace media {

namespace {

// The state block: "KCS1\n", "encoder=<name>\n", then "<key>=<value>\n" for
// every option, in the descriptor's order.
constexpr char kStateMagic[] = "KCS1\n";
constexpr int32_t kMaxStateSize = 4096;

}  // namespace

const std::vector<CodecDescriptor>& codecTable() {
    static const std::vector<CodecDescriptor> table = {
        {"Microsoft Video 1", "msvideo1", QualityControl::None, {AV_PIX_FMT_RGB555LE},
         {{"keyint_min", "Key frame every (frames)", {}, 1, 300, "25"}}},
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
    : descriptor_(descriptor), codec_(codec) {
    for (const OptionSpec& o : descriptor_.options) values_.emplace_back(o.defaultValue);
}

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

const OptionSpec* FfmpegVideoCompressor::spec(const std::string& key) const {
    for (const OptionSpec& o : descriptor_.options)
        if (key == o.key) return &o;
    return nullptr;
}

bool FfmpegVideoCompressor::valueAllowed(const OptionSpec& spec, const std::string& value) {
    if (!spec.choices.empty()) {
        for (const char* c : spec.choices)
            if (value == c) return true;
        return false;
    }
    if (value.empty() || value.size() > 9) return false;
    int32_t n = 0;
    size_t i = value[0] == '-' ? 1 : 0;
    if (i == value.size()) return false;
    for (; i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9') return false;
        n = n * 10 + (value[i] - '0');
    }
    if (value[0] == '-') n = -n;
    return n >= spec.minValue && n <= spec.maxValue;
}

std::string FfmpegVideoCompressor::serialise() {
    std::string block = kStateMagic;
    block += "encoder=";
    block += descriptor_.encoder;
    block += '\n';
    for (size_t i = 0; i < descriptor_.options.size(); ++i) {
        block += descriptor_.options[i].key;
        block += '=';
        block += values_[i];
        block += '\n';
    }
    return block;
}

HRESULT FfmpegVideoCompressor::GetState(uint8_t* buffer, int32_t* size) {
    if (!size) return E_POINTER;
    std::lock_guard lock(mutex_);
    std::string block = serialise();
    if (!buffer) {
        *size = static_cast<int32_t>(block.size());
        return S_OK;
    }
    if (*size < static_cast<int32_t>(block.size())) return E_INVALIDARG;
    std::memcpy(buffer, block.data(), block.size());
    *size = static_cast<int32_t>(block.size());
    return S_OK;
}

HRESULT FfmpegVideoCompressor::SetState(const uint8_t* buffer, int32_t size) {
    if (!buffer) return E_POINTER;
    if (size <= 0 || size > kMaxStateSize) return E_INVALIDARG;
    std::string text(reinterpret_cast<const char*>(buffer), static_cast<size_t>(size));
    const size_t magic = sizeof kStateMagic - 1;
    if (text.compare(0, magic, kStateMagic) != 0 || text.back() != '\n' || text.find('\0') != std::string::npos)
        return E_INVALIDARG;
    // Parse everything first; only a block that is valid throughout is applied.
    std::vector<std::string> values(descriptor_.options.size());
    std::vector<bool> seen(descriptor_.options.size(), false);
    bool encoderSeen = false;
    size_t pos = magic;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos) return E_INVALIDARG;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (!encoderSeen) {
            if (key != "encoder" || value != descriptor_.encoder) return E_INVALIDARG;
            encoderSeen = true;
            continue;
        }
        const OptionSpec* s = spec(key);
        if (!s) return E_INVALIDARG;
        size_t index = static_cast<size_t>(s - descriptor_.options.data());
        if (seen[index] || !valueAllowed(*s, value)) return E_INVALIDARG;
        seen[index] = true;
        values[index] = value;
    }
    if (!encoderSeen) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    // Options the block does not name keep their current values.
    for (size_t i = 0; i < values.size(); ++i)
        if (seen[i]) values_[i] = values[i];
    return S_OK;
}

std::vector<CompressorOption> FfmpegVideoCompressor::options() {
    std::lock_guard lock(mutex_);
    std::vector<CompressorOption> list;
    for (size_t i = 0; i < descriptor_.options.size(); ++i) {
        const OptionSpec& s = descriptor_.options[i];
        CompressorOption o;
        o.key = s.key;
        o.label = s.label;
        for (const char* c : s.choices) o.choices.emplace_back(c);
        o.minValue = s.minValue;
        o.maxValue = s.maxValue;
        o.value = values_[i];
        list.push_back(std::move(o));
    }
    return list;
}

HRESULT FfmpegVideoCompressor::setOption(const std::string& key, const std::string& value) {
    const OptionSpec* s = spec(key);
    if (!s) return E_INVALIDARG;
    if (!valueAllowed(*s, value)) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    values_[static_cast<size_t>(s - descriptor_.options.data())] = value;
    return S_OK;
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
    std::vector<std::string> values;
    {
        std::lock_guard lock(mutex_);
        quality = quality_;
        values = values_;
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
