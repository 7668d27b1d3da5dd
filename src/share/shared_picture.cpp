#include "share/shared_picture.h"

#include <cstring>

namespace {

// The display image holds 0x00RRGGBB words, which on a little-endian machine
// already sit in memory as B G R 0.
inline uint32_t toOrder(uint32_t pixel, PixelOrder order) {
    if (order == PixelOrder::BGRx) return pixel & 0x00FFFFFFu;
    return ((pixel >> 16) & 0xFFu) | (pixel & 0xFF00u) | ((pixel & 0xFFu) << 16);
}

void widenRow(const uint32_t* in, int width, int scale, PixelOrder order, uint32_t* out) {
    if (scale == 1 && order == PixelOrder::BGRx) {
        std::memcpy(out, in, static_cast<size_t>(width) * 4);
        return;
    }
    for (int x = 0; x < width; ++x) {
        const uint32_t p = toOrder(in[x], order);
        for (int i = 0; i < scale; ++i) *out++ = p;
    }
}

}  // namespace

int clampShareScale(int scale) { return scale >= kMinShareScale && scale <= kMaxShareScale ? scale : 1; }

PictureSize sharedPictureSize(const DisplayLayout& layout, int scale) {
    if (layout.imageWidth <= 0 || layout.imageHeight <= 0) return {};
    scale = clampShareScale(scale);
    return {layout.imageWidth * scale, layout.imageHeight * scale};
}

void copySharedPicture(const FrameBuffer& frame, int scale, PixelOrder order, uint8_t* out, int32_t stride) {
    scale = clampShareScale(scale);
    const int width = frame.layout.imageWidth;
    const int height = frame.layout.imageHeight;
    if (!frame.displayImage || width <= 0 || height <= 0) return;
    const size_t rowBytes = static_cast<size_t>(width) * scale * 4;
    for (int y = 0; y < height; ++y) {
        uint8_t* first = out + static_cast<size_t>(y) * scale * stride;
        // The buffer's rows are 4-byte aligned (stride is a multiple of 4).
        widenRow(frame.displayImage + static_cast<size_t>(y) * width, width, scale, order,
                 reinterpret_cast<uint32_t*>(first));
        for (int i = 1; i < scale; ++i) std::memcpy(first + static_cast<size_t>(i) * stride, first, rowBytes);
    }
}
