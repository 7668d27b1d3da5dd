#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "base/debug_log.h"
#include "core/link_stats.h"
#include "display/decode.h"
#include "settings/settings.h"

namespace {

// A frame buffer as the pool would hand it over, with helpers to paint the
// raw, column-stored picture.
class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        storage.assign(kVideoStorageAllocBytes, 0);
        frame.videoStorage = storage.data();
        settings.displayType = 1;
        debugConsoleOpen = false;
    }
    void TearDown() override {
        freeDisplayImage(&frame);
        debugConsoleOpen = false;
    }

    // Frame column c (0-719) in screen row y (0-239); bytes red, green, blue.
    void setPixel(int c, int y, uint32_t rgb) {
        uint8_t* p = storage.data() + 720 * c + 3 * (239 - y);
        p[0] = static_cast<uint8_t>(rgb >> 16);
        p[1] = static_cast<uint8_t>(rgb >> 8);
        p[2] = static_cast<uint8_t>(rgb);
    }
    // Every pixel tells where it came from.
    static uint32_t tag(int c, int y) { return static_cast<uint32_t>((c + 1) << 8 | y); }
    void paintTags() {
        for (int c = 0; c < 720; ++c)
            for (int y = 0; y < 240; ++y) setPixel(c, y, tag(c, y));
    }
    void decodeAs(uint32_t type) {
        settings.displayType = type;
        decodeFrame(&frame);
    }
    uint32_t image(int x, int y) const { return frame.displayImage[y * frame.layout.imageWidth + x]; }

    std::vector<uint8_t> storage;
    FrameBuffer frame;
};

struct Source {
    int column, row;
};

// What each display type shows at image (x, y): a frame pixel, or black.
std::optional<Source> expectedSource(int type, int x, int y) {
    auto bottomPair = [](int x, int row) -> std::optional<Source> {
        if (x >= 40 && x < 360) return Source{x - 40, row};
        if (x >= 440 && x < 760) return Source{x - 440, row};
        return std::nullopt;
    };
    switch (type) {
        case 1:
            if (y < 240) return Source{x, y};
            if (x >= 40 && x < 360) return Source{400 + x - 40, y - 240};
            return std::nullopt;
        case 2:
        case 4:
            if (y < 240) return Source{320 + x % 400, y};
            return bottomPair(x, y - 240);
        case 3:
            if (y < 480) return Source{320 + x % 400, y / 2};
            return bottomPair(x, (y - 480) / 2);
        case 5:
            if (y < 240) return Source{40 + x, y};
            return Source{400 + x, y - 240};
        case 6:
            if (y < 192) return Source{72 + x, 48 + y};
            return Source{400 + 32 + x, y - 192};
        default:
            return std::nullopt;
    }
}

TEST_F(DecodeTest, EveryDisplayTypeComposesItsPicture) {
    struct Case {
        int type, width, height;
    };
    const Case cases[] = {{1, 400, 480}, {2, 800, 480}, {3, 800, 960}, {4, 800, 480},
                          {5, 320, 480}, {6, 256, 384}, {7, 240, 160}};
    paintTags();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "display type " << c.type);
        decodeAs(c.type);
        ASSERT_EQ(std::memcmp(&frame.layout, &displayTypeTable[c.type], sizeof frame.layout), 0);
        ASSERT_EQ(frame.layout.imageWidth, c.width);
        ASSERT_EQ(frame.layout.imageHeight, c.height);
        int wrong = 0;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const std::optional<Source> src = expectedSource(c.type, x, y);
                const uint32_t want = src ? tag(src->column, src->row) : 0;
                if (image(x, y) != want && ++wrong <= 5)
                    ADD_FAILURE() << "(" << x << ", " << y << ") = " << std::hex << image(x, y) << ", want " << want;
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST_F(DecodeTest, PixelsLandWhereTheScreensShowThem) {
    paintTags();
    // Type 1: the bottom screen starts at column 40 of row 240; its margin is black.
    decodeAs(1);
    EXPECT_EQ(image(40, 240), tag(400, 0));
    EXPECT_EQ(frame.displayImage[frame.layout.bottomOffset], tag(400, 0));
    EXPECT_EQ(image(0, 240), 0u);
    EXPECT_EQ(image(399, 479), 0u);
    EXPECT_EQ(image(399, 0), tag(399, 0));
    // Type 5: the top screen's middle 320 columns.
    decodeAs(5);
    EXPECT_EQ(image(0, 0), tag(40, 0));
    EXPECT_EQ(image(319, 239), tag(359, 239));
    EXPECT_EQ(frame.displayImage[frame.layout.bottomOffset], tag(400, 0));
    // Type 6: top screen rows 48-239, bottom screen rows 0-191.
    decodeAs(6);
    EXPECT_EQ(image(0, 0), tag(72, 48));
    EXPECT_EQ(image(255, 191), tag(327, 239));
    EXPECT_EQ(image(0, 192), tag(432, 0));
    EXPECT_EQ(image(255, 383), tag(687, 191));
    EXPECT_EQ(frame.displayImage[frame.layout.bottomOffset], tag(432, 0));
    // Stereo types: the lower part starts with frame column 0.
    for (uint32_t type : {2u, 3u, 4u}) {
        decodeAs(type);
        EXPECT_EQ(frame.displayImage[frame.layout.bottomOffset], tag(0, 0)) << type;
    }
}

TEST_F(DecodeTest, ByteOrderIsRedGreenBlue) {
    storage[0] = 0x11;
    storage[1] = 0x22;
    storage[2] = 0x33;
    decodeAs(1);
    EXPECT_EQ(image(0, 239), 0x00112233u);
    uint8_t bytes[4];
    std::memcpy(bytes, &frame.displayImage[239 * 400], 4);
    EXPECT_EQ(bytes[0], 0x33) << "blue first in memory";
    EXPECT_EQ(bytes[3], 0x00);
}

TEST_F(DecodeTest, TypeChangeReallocatesAndClearsOnlyThen) {
    paintTags();
    decodeAs(1);
    const DisplayLayout first = frame.layout;
    // Margins are not cleared again per frame: a mark there survives a decode
    // of the same type...
    frame.displayImage[240 * 400] = 0xFFFFFF;
    decodeAs(1);
    EXPECT_EQ(image(0, 240), 0xFFFFFFu);
    EXPECT_EQ(frame.layout.type, first.type);

    decodeAs(5);
    EXPECT_EQ(frame.layout.type, 5);
    EXPECT_EQ(frame.layout.imageWidth, 320);
    EXPECT_EQ(image(0, 240), tag(400, 0));

    // ...but every type change starts from a black image.
    decodeAs(1);
    EXPECT_EQ(frame.layout.type, 1);
    for (int y = 240; y < 480; ++y) {
        for (int x : {0, 39, 360, 399}) ASSERT_EQ(image(x, y), 0u) << x << ", " << y;
    }
}

TEST_F(DecodeTest, TypesOutsideTheTableDecodeAs2D) {
    paintTags();
    for (uint32_t type : {0u, 8u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        decodeAs(type);
        EXPECT_EQ(frame.layout.type, 1);
        EXPECT_EQ(image(40, 240), tag(400, 0));
    }
}

TEST_F(DecodeTest, StuckBitsDescribeTheRawBottomScreen) {
    struct Case {
        const char* name;
        uint32_t bottom;         // every bottom pixel
        uint32_t lastPixel;      // the bottom screen's last stored pixel
        uint32_t on, off;
    };
    const Case cases[] = {
        {"black", 0x000000, 0x000000, 0x000000, 0xFFFFFF},
        {"uniform 10 20 40", 0x102040, 0x102040, 0x402010, 0xBFDFEF},
        {"last pixel differs", 0x102040, 0x112040, 0x402010, 0xBFDFEE},
        {"white", 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0x000000},
    };
    debugConsoleOpen = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::fill(storage.begin(), storage.end(), 0xA5);  // top screen and audio bytes must not count
        for (int col = 400; col < 720; ++col)
            for (int y = 0; y < 240; ++y) setPixel(col, y, c.bottom);
        setPixel(719, 0, c.lastPixel);
        decodeAs(1);
        EXPECT_EQ(linkStats.stuckOnMask.load(), c.on);
        EXPECT_EQ(linkStats.stuckOffMask.load(), c.off);
    }
}

TEST_F(DecodeTest, NothingIsGatheredWhileTheConsoleIsClosed) {
    linkStats.stuckOnMask = 0x123456;
    linkStats.stuckOffMask = 0x654321;
    decodeAs(1);
    EXPECT_EQ(linkStats.stuckOnMask.load(), 0x123456u);
    EXPECT_EQ(linkStats.stuckOffMask.load(), 0x654321u);
}

}  // namespace
