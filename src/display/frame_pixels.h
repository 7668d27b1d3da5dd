#pragma once
// Addressing of the board's frame: 720 columns of 240 pixels, 3 bytes each
// (red, green, blue), every column stored from the screen's bottom row up.
#include <cstdint>
#include <cstring>

constexpr int kFrameColumns = 720;
constexpr int kScreenRows = 240;
constexpr int kColumnBytes = kScreenRows * 3;
constexpr int kBottomFirstColumn = 400;

// Byte offset of frame column c in screen row y.
constexpr int framePixelOffset(int column, int row) {
    return kColumnBytes * column + 3 * (kScreenRows - 1 - row);
}

// The 3-byte pixel at p as 0x00RRGGBB. Reads one byte past the pixel, which
// the frame storage always has (it is larger than the picture).
inline uint32_t framePixel(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v) >> 8;
}
