#include "record/codec/msvideo1_encoder.h"

#include <cmath>
#include <cstring>

#include "record/codec/msvideo1_blocks.h"

namespace msvideo1 {

namespace {
// The error allowed per channel at quality 0 (RMS, 5-bit units).
constexpr double kRmsAtZero = 12.0;
}  // namespace

int32_t blockThreshold(double quality) {
    if (!(quality < 1.0)) return 0;
    if (!(quality > 0.0)) quality = 0.0;
    // The allowed error per channel (RMS, 5-bit units) falls off steeply
    // towards full quality, so the upper part of the scale, where recordings
    // are made, spreads over the small errors: 0.85 allows about half a step.
    const double rms = kRmsAtZero * std::pow(1.0 - quality, 1.6);
    return static_cast<int32_t>(std::lround(48.0 * rms * rms));
}

bool Encoder::open(int width, int height) {
    if (width < 4 || height < 4 || width % 4 || height % 4 || width > 8192 || height > 8192) return false;
    width_ = width;
    height_ = height;
    const size_t blocks = static_cast<size_t>(width / 4) * static_cast<size_t>(height / 4);
    // Every block at its largest, and room for skip words (a key frame has none).
    maxBytes_ = blocks * kMaxBlockBytes + 2 * (blocks / kMaxSkipRun + 2);
    shown_.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    sinceKey_ = 0;
    return true;
}

namespace {

struct Bgr24Loader {
    const uint8_t* rows;
    ptrdiff_t stride;
    void operator()(int x0, int y0, Block& k, uint16_t* src) const {
        for (int y = 0; y < 4; ++y) {
            const uint8_t* p = rows + (y0 + y) * stride + x0 * 3;
            for (int x = 0; x < 4; ++x, p += 3) {
                const int i = y * 4 + x;
                k.b[i] = static_cast<int16_t>(p[0] >> 3);
                k.g[i] = static_cast<int16_t>(p[1] >> 3);
                k.r[i] = static_cast<int16_t>(p[2] >> 3);
                src[i] = pack555(k.r[i], k.g[i], k.b[i]);
            }
        }
    }
};

struct Rgb555Loader {
    const uint8_t* rows;
    ptrdiff_t stride;
    void operator()(int x0, int y0, Block& k, uint16_t* src) const {
        for (int y = 0; y < 4; ++y) {
            const uint16_t* p = reinterpret_cast<const uint16_t*>(rows + (y0 + y) * stride) + x0;
            for (int x = 0; x < 4; ++x) {
                const int i = y * 4 + x;
                const uint16_t v = p[x] & 0x7FFF;
                src[i] = v;
                k.r[i] = static_cast<int16_t>(v >> 10);
                k.g[i] = static_cast<int16_t>((v >> 5) & 31);
                k.b[i] = static_cast<int16_t>(v & 31);
            }
        }
    }
};

}  // namespace

Encoder::Frame Encoder::encodeBgr24(const uint8_t* rows, ptrdiff_t stride, uint8_t* out) {
    return encode(Bgr24Loader{rows, stride}, out);
}

Encoder::Frame Encoder::encodeRgb555(const uint16_t* rows, ptrdiff_t stride, uint8_t* out) {
    return encode(Rgb555Loader{reinterpret_cast<const uint8_t*>(rows), stride}, out);
}

template <class Load>
Encoder::Frame Encoder::encode(const Load& load, uint8_t* out) {
    const bool key = sinceKey_ == 0;
    sinceKey_ = (sinceKey_ + 1) % keyInterval_;
    counts_ = {};
    uint8_t* p = out;
    int run = 0;  // blocks kept, not yet written
    auto flushRun = [&] {
        if (run) p += writeSkip(run, p);
        run = 0;
    };

    Block k;
    uint16_t src[kBlockPixels];
    uint16_t shown[kBlockPixels];
    for (int y0 = 0; y0 < height_; y0 += 4) {
        for (int x0 = 0; x0 < width_; x0 += 4) {
            uint16_t* dst = shown_.data() + static_cast<size_t>(y0) * static_cast<size_t>(width_) + x0;
            load(x0, y0, k, src);

            int32_t keptErr = INT32_MAX;
            if (!key) {
                keptErr = 0;
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x) keptErr += distance555(src[y * 4 + x], dst[y * width_ + x]);
                if (keptErr <= threshold_) {
                    ++counts_.skipped;
                    if (++run == kMaxSkipRun) flushRun();
                    continue;
                }
            }

            // The cheapest form within the threshold; when none is, the
            // closest one (the cheaper one on a tie).
            enum { kNone, kOne, kTwo, kEight } form = kNone;
            const OneColour one = fitOne(k);
            int32_t best = one.err;
            TwoColours two{};
            EightColours eight{};
            if (one.err <= threshold_) {
                form = kOne;
            } else {
                two = fitTwo(k);
                if (two.err <= threshold_) {
                    form = kTwo;
                } else {
                    eight = fitEight(k);
                    if (eight.err <= threshold_) form = kEight;
                }
            }
            if (form == kNone) {
                form = kOne;
                if (two.err < best) best = two.err, form = kTwo;
                if (eight.err < best) best = eight.err, form = kEight;
                if (keptErr <= best) {
                    ++counts_.skipped;
                    if (++run == kMaxSkipRun) flushRun();
                    continue;
                }
            }

            flushRun();
            switch (form) {
                case kOne: p += writeOne(one, p, shown), ++counts_.one; break;
                case kTwo: p += writeTwo(two, p, shown), ++counts_.two; break;
                default: p += writeEight(eight, p, shown), ++counts_.eight; break;
            }
            for (int y = 0; y < 4; ++y) std::memcpy(dst + y * width_, shown + y * 4, 4 * sizeof(uint16_t));
        }
    }
    flushRun();
    return {static_cast<size_t>(p - out), key};
}

}  // namespace msvideo1
