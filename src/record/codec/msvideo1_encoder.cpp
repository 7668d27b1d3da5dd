#include "record/codec/msvideo1_encoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "record/codec/msvideo1_blocks.h"

namespace msvideo1 {

namespace {
// The price of a byte at quality 0.85, in squared error per block, and how
// many times it doubles over the slider's whole range: it grows
// exponentially as the quality falls, so the size changes smoothly with the
// slider, and it is 0 at quality 1.
constexpr double kCostAt85 = 14.0;
constexpr double kDoublings = 10.0;
}  // namespace

int32_t byteCost(double quality) {
    if (!(quality < 1.0)) return 0;
    if (!(quality > 0.0)) quality = 0.0;
    const double scale = kCostAt85 / (std::exp2(kDoublings * 0.15) - 1.0);
    return static_cast<int32_t>(std::lround(kCostScale * scale * (std::exp2(kDoublings * (1.0 - quality)) - 1.0)));
}

bool Encoder::open(int width, int height) {
    if (width < 4 || height < 4 || width % 4 || height % 4 || width > 8192 || height > 8192) return false;
    width_ = width;
    height_ = height;
    const size_t blocks = static_cast<size_t>(width / 4) * static_cast<size_t>(height / 4);
    // Every block at its largest, and room for skip words (a key frame has none).
    maxBytes_ = blocks * kMaxBlockBytes + 2 * (blocks / kMaxSkipRun + 2);
    shown_.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    choices_.assign(blocks, BlockChoice{});
    keep_.assign(blocks, 0);
    from_.assign(blocks, 0);
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

namespace {

// A one-colour block whose red is 1 goes out as two colours (see writeOne).
inline int32_t oneBytes(const OneColour& one) { return (one.colour >> 10) == 1 ? 6 : 2; }

// The block's cheapest coded form, given what keeping it would cost
// (INT32_MAX: it cannot be kept). Forms that cannot win are not fitted.
void choose(const Block& k, int32_t kept, int32_t perByte, BlockChoice& c) {
    c.kept = kept;
    c.form = BlockChoice::kOne;
    // A block kept without error costs at most a skip word, which no form
    // undercuts: nothing to fit. (The price above that keeps the path from
    // ever coding it.)
    if (kept == 0) {
        c.coded = 2 * perByte + 1;
        c.one = {0, 0};
        return;
    }
    c.one = fitOne(k);
    c.coded = c.one.err * kCostScale + oneBytes(c.one) * perByte;
    // Keeping the block, even at the price of a new skip word, beats any
    // form: none costs less than its bytes.
    if (kept != INT32_MAX && kept + 2 * perByte <= std::min(c.coded, 6 * perByte)) return;
    if (c.coded > 6 * perByte) {
        c.two = fitTwo(k);
        const int32_t cost = c.two.err * kCostScale + 6 * perByte;
        if (cost < c.coded) c.coded = cost, c.form = BlockChoice::kTwo;
    }
    if (c.coded > 18 * perByte) {
        c.eight = fitEight(k);
        const int32_t cost = c.eight.err * kCostScale + 18 * perByte;
        if (cost < c.coded) c.coded = cost, c.form = BlockChoice::kEight;
    }
}

}  // namespace

void Encoder::chooseKept() {
    // Two states after each block: in a run of kept blocks, or not. A run
    // pays for its skip word where it starts; a coded block pays only for
    // itself. (A run longer than kMaxSkipRun needs another word: too rare to
    // weigh.)
    const int64_t word = 2 * static_cast<int64_t>(byteCost_);
    const size_t n = choices_.size();
    int64_t inRun = INT64_MAX / 2, coded = 0;
    for (size_t i = 0; i < n; ++i) {
        const BlockChoice& c = choices_[i];
        const bool runGoesOn = inRun <= coded + word;
        const bool afterRun = inRun <= coded;
        const int64_t nextRun = c.kept + (runGoesOn ? inRun : coded + word);
        const int64_t nextCoded = c.coded + (afterRun ? inRun : coded);
        from_[i] = static_cast<uint8_t>((runGoesOn ? 1 : 0) | (afterRun ? 2 : 0));
        inRun = nextRun, coded = nextCoded;
    }
    bool kept = inRun <= coded;
    for (size_t i = n; i-- > 0;) {
        keep_[i] = kept;
        kept = (from_[i] >> (kept ? 0 : 1)) & 1;
    }
}

template <class Load>
Encoder::Frame Encoder::encode(const Load& load, uint8_t* out) {
    const bool key = sinceKey_ == 0;
    sinceKey_ = (sinceKey_ + 1) % keyInterval_;
    counts_ = {};

    Block k;
    uint16_t src[kBlockPixels];
    BlockChoice* choice = choices_.data();
    for (int y0 = 0; y0 < height_; y0 += 4) {
        for (int x0 = 0; x0 < width_; x0 += 4, ++choice) {
            const uint16_t* dst = shown_.data() + static_cast<size_t>(y0) * static_cast<size_t>(width_) + x0;
            load(x0, y0, k, src);
            int32_t kept = INT32_MAX;
            if (!key) {
                kept = 0;
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x) kept += distance555(src[y * 4 + x], dst[y * width_ + x]);
                kept *= kCostScale;
            }
            choose(k, kept, byteCost_, *choice);
        }
    }
    if (key)
        std::fill(keep_.begin(), keep_.end(), 0);
    else
        chooseKept();

    uint8_t* p = out;
    int run = 0;  // blocks kept, not yet written
    auto flushRun = [&] {
        if (run) p += writeSkip(run, p);
        run = 0;
    };
    uint16_t shown[kBlockPixels];
    size_t i = 0;
    for (int y0 = 0; y0 < height_; y0 += 4) {
        for (int x0 = 0; x0 < width_; x0 += 4, ++i) {
            if (keep_[i]) {
                ++counts_.skipped;
                if (++run == kMaxSkipRun) flushRun();
                continue;
            }
            flushRun();
            const BlockChoice& c = choices_[i];
            switch (c.form) {
                case BlockChoice::kOne: p += writeOne(c.one, p, shown), ++counts_.one; break;
                case BlockChoice::kTwo: p += writeTwo(c.two, p, shown), ++counts_.two; break;
                default: p += writeEight(c.eight, p, shown), ++counts_.eight; break;
            }
            uint16_t* dst = shown_.data() + static_cast<size_t>(y0) * static_cast<size_t>(width_) + x0;
            for (int y = 0; y < 4; ++y) std::memcpy(dst + y * width_, shown + y * 4, 4 * sizeof(uint16_t));
        }
    }
    flushRun();
    return {static_cast<size_t>(p - out), key};
}

}  // namespace msvideo1
