#pragma once
// Microsoft Video 1 at 16 bits: one 4x4 block at a time.
//
// A frame is a run of 4x4 blocks from the bottom-left corner, left to right,
// then upwards, each block's rows bottom first (the order of a bottom-up DIB).
// Pixel i of a block is at x = i % 4, y = i / 4 in that order. Colours are
// RGB555 (0rrrrrgggggbbbbb). A block is one of:
//   skip        one 16-bit word 0x8400 + n covers n blocks (1..1023) that
//               keep what the previous frame showed;
//   one colour  one word, the colour with the top bit set;
//   two colours a 16-bit mask (bit i set: pixel i takes colour A), then A
//               with the top bit clear, then B;
//   eight       a mask, then a pair of colours per 2x2 quadrant (bottom-left,
//               bottom-right, top-left, top-right), the first colour of the
//               first pair with its top bit set.
// A mask's top bit must be clear (a set one reads as a one-colour block), and
// a one-colour word 0x84xx..0x87xx reads as a skip.
#include <cstdint>

namespace msvideo1 {

constexpr int kBlockPixels = 16;
constexpr int kMaxSkipRun = 1023;
// The most bytes one block can take (a mask and eight colours).
constexpr int kMaxBlockBytes = 18;

// A block's pixels split into 5-bit channels (16-bit lanes keep the
// fitters' loops vectorisable).
struct Block {
    int16_t r[kBlockPixels];
    int16_t g[kBlockPixels];
    int16_t b[kBlockPixels];
};

constexpr uint16_t pack555(int32_t r, int32_t g, int32_t b) {
    return static_cast<uint16_t>((r << 10) | (g << 5) | b);
}

// Squared error between two RGB555 colours, summed over the channels.
inline int32_t distance555(uint16_t x, uint16_t y) {
    int32_t dr = (x >> 10) - (y >> 10);
    int32_t dg = ((x >> 5) & 31) - ((y >> 5) & 31);
    int32_t db = (x & 31) - (y & 31);
    return dr * dr + dg * dg + db * db;
}

// What the block fitters choose; err is the squared error summed over the
// block's pixels and channels.
struct OneColour {
    uint16_t colour;
    int32_t err;
};
struct TwoColours {
    uint16_t a, b;
    uint16_t mask;  // bit i set: pixel i is a
    int32_t err;
};
struct EightColours {
    uint16_t colours[8];  // a pair per quadrant
    uint16_t mask;        // bit i set: pixel i takes its quadrant's first colour
    int32_t err;
};

OneColour fitOne(const Block& block);
TwoColours fitTwo(const Block& block);
EightColours fitEight(const Block& block);

// Writers: each returns the bytes written and fills `shown` (16 pixels) with
// what a decoder shows for the block. They keep the format's rules above.
int writeOne(const OneColour& fit, uint8_t* out, uint16_t* shown);
int writeTwo(TwoColours fit, uint8_t* out, uint16_t* shown);
int writeEight(EightColours fit, uint8_t* out, uint16_t* shown);
// n blocks kept from the previous frame, 1..kMaxSkipRun.
int writeSkip(int n, uint8_t* out);

}  // namespace msvideo1
