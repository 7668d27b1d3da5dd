// Frame decoding: the column-stored frame into the display image.
#include "display/decode.h"

#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/fatal.h"
#include "display/convert_columns.h"
#include "display/stuck_bits.h"
#include "settings/settings.h"

// type, image w x h, top w x h, bottom w x h, bottom offset
const DisplayLayout displayTypeTable[kDisplayTypeCount] = {
    {-1, 0, 0, 0, 0, 0, 0, 0},
    {1, 400, 480, 400, 240, 320, 240, 96040},   // "2D"
    {2, 800, 480, 800, 240, 320, 240, 192040},  // "3D side by side"
    {3, 800, 960, 800, 480, 320, 480, 384040},  // "3D SBS stretched"
    {4, 800, 480, 800, 240, 320, 240, 192040},  // "NVidia 3D Vision"
    {5, 320, 480, 320, 240, 320, 240, 76800},   // "DS (upscaled)"
    {6, 256, 384, 256, 192, 256, 192, 49152},   // "DS (1:1)"
    {7, 240, 160, 240, 160, 240, 160, 0},
};

namespace {

// Repeats `pixels` pixels found at `from` in each of `rows` rows, `stride` apart.
void copyInRows(uint32_t* image, int from, int to, int pixels, int firstRow, int rows, int stride) {
    for (int y = firstRow; y < firstRow + rows; ++y) {
        uint32_t* row = image + y * stride;
        std::memcpy(row + to, row + from, pixels * sizeof(uint32_t));
    }
}

void convert2D(const uint8_t* f, uint32_t* img) {
    convertColumns(f, 0, 400, 0, 240, img, 400);
    convertColumns(f, 400, 320, 0, 240, img + 240 * 400 + 40, 400);
}

// Types 2 and 4: one eye's picture, repeated in the right half.
void convertSideBySide(const uint8_t* f, uint32_t* img) {
    convertColumns(f, 320, 400, 0, 240, img, 800);
    convertColumns(f, 0, 320, 0, 240, img + 240 * 800 + 40, 800);
    copyInRows(img, 0, 400, 400, 0, 240, 800);
    copyInRows(img, 40, 440, 320, 240, 240, 800);
}

// Type 3: as side by side with every row doubled.
void convertSideBySideStretched(const uint8_t* f, uint32_t* img) {
    constexpr int kW = 800;
    convertColumns(f, 320, 400, 0, 240, img, 2 * kW);
    convertColumns(f, 0, 320, 0, 240, img + 480 * kW + 40, 2 * kW);
    for (int y = 0; y < 960; y += 2) {
        uint32_t* row = img + y * kW;
        if (y < 480)
            std::memcpy(row + 400, row, 400 * sizeof(uint32_t));
        else
            std::memcpy(row + 440, row + 40, 320 * sizeof(uint32_t));
        std::memcpy(row + kW, row, kW * sizeof(uint32_t));
    }
}

void convertDsUpscaled(const uint8_t* f, uint32_t* img) {
    convertColumns(f, 40, 320, 0, 240, img, 320);
    convertColumns(f, 400, 320, 0, 240, img + 240 * 320, 320);
}

void convertDsOneToOne(const uint8_t* f, uint32_t* img) {
    convertColumns(f, 72, 256, 48, 192, img, 256);
    convertColumns(f, 400 + 32, 256, 0, 192, img + 192 * 256, 256);
}

void convertNothing(const uint8_t*, uint32_t*) {}

using Converter = void (*)(const uint8_t*, uint32_t*);
constexpr Converter kConverters[kDisplayTypeCount] = {
    convertNothing,    convert2D,         convertSideBySide, convertSideBySideStretched,
    convertSideBySide, convertDsUpscaled, convertDsOneToOne, convertNothing,
};

// Settings refuse types outside 1..7; anything else that reaches here
// decodes as "2D" rather than indexing past the table.
int effectiveType(uint32_t displayType) {
    return displayType >= 1 && displayType < kDisplayTypeCount ? static_cast<int>(displayType) : 1;
}

// A new image for the layout, all black; nothing of the old one survives.
void reallocateImage(FrameBuffer* frame, const DisplayLayout& layout) {
    std::free(frame->displayImage);
    frame->displayImage = nullptr;
    const size_t bytes = static_cast<size_t>(layout.imageWidth) * layout.imageHeight * sizeof(uint32_t);
    constexpr size_t kAlign = 64;
    auto* image = static_cast<uint32_t*>(std::aligned_alloc(kAlign, (bytes + kAlign - 1) / kAlign * kAlign));
    if (!image) fatalError("Out of memory");
    std::memset(image, 0, bytes);
    frame->displayImage = image;
    frame->layout = layout;
}

}  // namespace

void decodeFrame(FrameBuffer* frame) {
    const int type = effectiveType(settings.displayType);
    if (frame->layout.type != type) reallocateImage(frame, displayTypeTable[type]);
    kConverters[type](frame->videoStorage, frame->displayImage);
    if (debugConsoleOpen.load(std::memory_order_relaxed)) gatherStuckBits(frame->videoStorage);
}

void freeDisplayImage(FrameBuffer* frame) {
    std::free(frame->displayImage);
    frame->displayImage = nullptr;
    frame->layout = DisplayLayout{};
}
