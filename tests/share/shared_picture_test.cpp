#include "share/shared_picture.h"

#include <gtest/gtest.h>

#include <vector>

#include "display/decode.h"

namespace {

struct Image {
    std::vector<uint32_t> pixels;
    FrameBuffer frame;
    explicit Image(const DisplayLayout& layout) : pixels(size_t(layout.imageWidth) * layout.imageHeight) {
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint32_t(i * 2654435761u) & 0x00FFFFFFu;
        frame.displayImage = pixels.data();
        frame.layout = layout;
    }
};

struct Case {
    int type, scale;
    PixelOrder order;
};

class SharedPicture : public ::testing::TestWithParam<Case> {};

// Every output pixel is the source pixel it covers, in the asked byte order;
// the bytes past each row (the stride's padding) stay untouched.
TEST_P(SharedPicture, RepeatsEachPixelInTheAskedOrder) {
    const Case c = GetParam();
    Image image(displayTypeTable[c.type]);
    const PictureSize size = sharedPictureSize(image.frame.layout, c.scale);
    ASSERT_EQ(size, (PictureSize{image.frame.layout.imageWidth * c.scale, image.frame.layout.imageHeight * c.scale}));
    const int stride = size.width * 4 + 8;
    std::vector<uint8_t> out(size_t(stride) * size.height, 0xEE);
    copySharedPicture(image.frame, c.scale, c.order, out.data(), stride);
    int wrong = 0, padding = 0;
    for (int y = 0; y < size.height; ++y) {
        const uint8_t* row = out.data() + size_t(y) * stride;
        for (int x = 0; x < size.width; ++x) {
            const uint32_t p = image.pixels[size_t(y / c.scale) * image.frame.layout.imageWidth + x / c.scale];
            const uint8_t r = p >> 16, g = p >> 8, b = p;
            const uint8_t* q = row + x * 4;
            const bool bgr = c.order == PixelOrder::BGRx;
            wrong += q[0] != (bgr ? b : r) || q[1] != g || q[2] != (bgr ? r : b) || q[3] != 0;
        }
        for (int i = size.width * 4; i < stride; ++i) padding += row[i] != 0xEE;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(padding, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SharedPicture,
                         ::testing::Values(Case{1, 1, PixelOrder::BGRx}, Case{1, 1, PixelOrder::RGBx},
                                           Case{1, 2, PixelOrder::BGRx}, Case{1, 3, PixelOrder::RGBx},
                                           Case{3, 2, PixelOrder::BGRx}, Case{6, 3, PixelOrder::BGRx},
                                           Case{7, 1, PixelOrder::RGBx}));

TEST(SharedPictureSize, ScalesOutsideTheChoiceCountAsOneAndAnEmptyLayoutHasNoSize) {
    EXPECT_EQ(sharedPictureSize(displayTypeTable[1], 0), (PictureSize{400, 480}));
    EXPECT_EQ(sharedPictureSize(displayTypeTable[1], 4), (PictureSize{400, 480}));
    EXPECT_EQ(sharedPictureSize(displayTypeTable[2], 3), (PictureSize{2400, 1440}));
    EXPECT_EQ(sharedPictureSize(DisplayLayout{}, 2), (PictureSize{}));
    FrameBuffer empty;  // no image yet: nothing is written
    uint8_t out[16] = {1};
    copySharedPicture(empty, 1, PixelOrder::BGRx, out, 16);
    EXPECT_EQ(out[0], 1);
}

}  // namespace
