#pragma once
// A Microsoft Video 1 (16-bit) encoder. Each 4x4 block is kept from the
// previous frame (as a decoder shows it) or takes one colour, two colours or
// eight, whichever costs least as error plus bytes at the price the quality
// sets; the blocks kept are weighed with the skip words their runs need.
// Everything is allocated by open(); encoding allocates nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "record/codec/msvideo1_blocks.h"

namespace msvideo1 {

// What one byte of output is worth in squared error (summed over a block's
// pixels and channels, 5-bit units, times kCostScale) at a quality between
// 0 (smallest file) and 1 (what RGB555 can hold, where it is 0).
constexpr int32_t kCostScale = 16;
int32_t byteCost(double quality);

// A block's best coded form and what keeping it instead would cost.
struct BlockChoice {
    enum Form : uint8_t { kOne, kTwo, kEight } form;
    int32_t kept;   // error if kept, times kCostScale; INT32_MAX on key frames
    int32_t coded;  // the coded form's error plus its bytes' cost
    OneColour one;
    TwoColours two;
    EightColours eight;
};

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
    void setQuality(double quality) { byteCost_ = byteCost(quality); }
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
    // Which blocks to keep: the cheapest path through the frame, a skip word
    // paid where a run starts. Fills keep_.
    void chooseKept();

    int width_ = 0, height_ = 0;
    size_t maxBytes_ = 0;
    int32_t byteCost_ = byteCost(0.85);
    int keyInterval_ = 1;
    int sinceKey_ = 0;  // frames since the last key frame; 0: the next is one
    std::vector<uint16_t> shown_;
    std::vector<BlockChoice> choices_;  // one per block, in coding order
    std::vector<uint8_t> keep_;         // per block: 1 kept, 0 coded
    std::vector<uint8_t> from_;         // per block: the path's previous states
    Counts counts_;
};

}  // namespace msvideo1
