#pragma once
// The picture another program receives: the decoded display image in its
// joined layout (top screen above the bottom one), enlarged 1x, 2x or 3x by
// repeating pixels, in one of the two 32-bit pixel orders cameras use.
#include <cstdint>

#include "core/frame_buffer.h"

// Byte order in memory: B G R x, or R G B x (x is written as 0).
enum class PixelOrder { BGRx, RGBx };

constexpr int kMinShareScale = 1;
constexpr int kMaxShareScale = 3;
// Scales outside 1..3 count as 1.
int clampShareScale(int scale);

struct PictureSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const PictureSize&, const PictureSize&) = default;
};
// The shared size of a layout; 0 x 0 for a layout without an image.
PictureSize sharedPictureSize(const DisplayLayout& layout, int scale);

// Writes the frame's display image scaled into `out` (rows `stride` bytes
// apart, sharedPictureSize(frame.layout, scale) pixels). No allocation.
void copySharedPicture(const FrameBuffer& frame, int scale, PixelOrder order, uint8_t* out, int32_t stride);
