#pragma once
// A Microsoft Video 1 (16-bit) encoder. Each 4x4 block takes the cheapest
// form whose error stays within the threshold the quality sets: kept from
// the previous frame (as a decoder shows it), one colour, two colours, or
// eight. Everything is allocated by open(); encoding allocates nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace msvideo1 {

// The squared error a block may have at a quality between 0 (smallest file)
// and 1 (what RGB555 can hold): summed over the 16 pixels and the three
// channels, in 5-bit units.
int32_t blockThreshold(double quality);

class Encoder {
public:
    struct Frame {
        size_t bytes = 0;
        bool key = false;
    };
    // Blocks of each form in the last frame.
    struct Counts {
        int32_t skipped = 0, one = 0, two = 0, eight = 0;
    };

    // width and height must be whole blocks (multiples of 4). The next frame
    // is a key frame.
    bool open(int width, int height);
    void setQuality(double quality) { threshold_ = blockThreshold(quality); }
    // A key frame every `frames` frames, the first one included.
    void setKeyInterval(int frames) { keyInterval_ = frames < 1 ? 1 : frames; }
    int keyInterval() const { return keyInterval_; }
    // The next frame is a key frame (the counting restarts there).
    void forceKeyFrame() { sinceKey_ = 0; }

    // The most bytes one frame can take; `out` must hold that many.
    size_t maxFrameBytes() const { return maxBytes_; }
    // A bottom-up picture (the first row is the bottom one), `stride` bytes
    // from row to row: 24-bit pixels (blue, green, red) or RGB555 words.
    Frame encodeBgr24(const uint8_t* rows, ptrdiff_t stride, uint8_t* out);
    Frame encodeRgb555(const uint16_t* rows, ptrdiff_t stride, uint8_t* out);

    // What a decoder shows after the last frame, RGB555 with the top bit
    // clear, bottom-up, width() pixels a row.
    const uint16_t* shown() const { return shown_.data(); }
    int width() const { return width_; }
    int height() const { return height_; }
    const Counts& counts() const { return counts_; }

private:
    template <class Load>
    Frame encode(const Load& load, uint8_t* out);

    int width_ = 0, height_ = 0;
    size_t maxBytes_ = 0;
    int32_t threshold_ = blockThreshold(0.85);
    int keyInterval_ = 1;
    int sinceKey_ = 0;  // frames since the last key frame; 0: the next is one
    std::vector<uint16_t> shown_;
    Counts counts_;
};

}  // namespace msvideo1
