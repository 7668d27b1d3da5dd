#include <gtest/gtest.h>

#include "display/scaling_policy.h"
#include "display/window_fit.h"

namespace {

struct Edges {
    float left, top, right, bottom;
};

Edges edgesOf(const Quad& q) { return {q.vertices[1].x, q.vertices[1].y, q.vertices[2].x, q.vertices[2].y}; }

TEST(ScalingMode, StoredByteAndF4Cycle) {
    EXPECT_EQ(scalingModeFromStored(0), ScalingMode::Bilinear);
    EXPECT_EQ(scalingModeFromStored(1), ScalingMode::Point);
    EXPECT_EQ(scalingModeFromStored(2), ScalingMode::PixelPerfect);
    EXPECT_EQ(scalingModeFromStored(3), ScalingMode::Bilinear);
    EXPECT_EQ(scalingModeFromStored(255), ScalingMode::Bilinear);

    ScalingMode m = ScalingMode::Bilinear;
    m = nextScalingMode(m);
    EXPECT_EQ(m, ScalingMode::Point);
    m = nextScalingMode(m);
    EXPECT_EQ(m, ScalingMode::PixelPerfect);
    EXPECT_EQ(nextScalingMode(m), ScalingMode::Bilinear);
    EXPECT_FALSE(usesPointFiltering(ScalingMode::Bilinear));
    EXPECT_TRUE(usesPointFiltering(ScalingMode::PixelPerfect));
}

TEST(PixelPerfect, LargestWholeMultipleCentredOnWholePixels) {
    struct Case {
        const char* name;
        int cw, ch;
        bool overscanOn, fullScreen;
        Edges expected;  // pixel centres at integers: edges at half-integers
    };
    // The 400 x 480 picture in a 512 x 512 texture.
    const Case cases[] = {
        {"natural size", 400, 480, false, false, {-0.5f, -0.5f, 399.5f, 479.5f}},
        {"just short of 2x stays 1x, centred", 799, 959, false, false, {198.5f, 238.5f, 598.5f, 718.5f}},
        {"exactly 2x", 800, 960, false, false, {-0.5f, -0.5f, 799.5f, 959.5f}},
        // A 1.75x area (a 700 x 840 window, or 400 x 480 at a 1.75 scale
        // factor): 1x on black, never some pixels doubled and others not.
        {"1.75x: 1x centred", 700, 840, false, false, {149.5f, 179.5f, 549.5f, 659.5f}},
        {"3.5x: 3x centred", 1400, 1680, false, true, {99.5f, 119.5f, 1299.5f, 1559.5f}},
        {"full HD screen: 2x, bars all round", 1920, 1080, false, true, {559.5f, 59.5f, 1359.5f, 1019.5f}},
        {"height decides", 1600, 1200, false, true, {399.5f, 119.5f, 1199.5f, 1079.5f}},
        // 1440 x 1440 is 3x exactly; 4 % overscan leaves 1382: back to 2x.
        {"overscan lowers the factor", 1440, 1440, true, true, {319.5f, 239.5f, 1119.5f, 1199.5f}},
        {"overscan ignored in a window", 1440, 1440, true, false, {119.5f, -0.5f, 1319.5f, 1439.5f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Quad q = computeScaledQuad(ScalingMode::PixelPerfect, 400, 480, 512, 512, c.cw, c.ch,
                                         c.overscanOn, c.fullScreen, 0.04f);
        const Edges e = edgesOf(q);
        EXPECT_FLOAT_EQ(e.left, c.expected.left);
        EXPECT_FLOAT_EQ(e.top, c.expected.top);
        EXPECT_FLOAT_EQ(e.right, c.expected.right);
        EXPECT_FLOAT_EQ(e.bottom, c.expected.bottom);
        EXPECT_FLOAT_EQ(q.vertices[2].u, 0.78125f);
        EXPECT_FLOAT_EQ(q.vertices[0].v, 0.9375f);
    }
}

TEST(PixelPerfect, OtherModesAndTooSmallAreasFitWhole) {
    for (ScalingMode mode : {ScalingMode::Bilinear, ScalingMode::Point}) {
        const Edges e = edgesOf(computeScaledQuad(mode, 400, 480, 512, 512, 799, 959, false, false, 0));
        EXPECT_GT(e.right - e.left, 700.0f);  // fractional fit fills the window
    }
    // Smaller than 1x (a tiny full screen): fit whole rather than draw nothing.
    const Edges e = edgesOf(computeScaledQuad(ScalingMode::PixelPerfect, 400, 480, 512, 512, 200, 240, false,
                                              true, 0));
    EXPECT_FLOAT_EQ(e.right - e.left, 200.0f);
    EXPECT_EQ(wholeMultipleThatFits(400, 480, 399, 2000), 0);
    EXPECT_EQ(wholeMultipleThatFits(0, 480, 800, 960), 0);
}

TEST(WindowFit, CapKeepsAspectEvenWidthAndNaturalFloor) {
    struct Case {
        const char* name;
        ClientSize in;
        int maxW, maxH;
        ClientSize out;
    };
    const Case cases[] = {
        {"inside: unchanged", {600, 720}, 1600, 1150, {600, 720}},
        {"too tall: height decides", {1100, 1320}, 1600, 1150, {958, 1149}},
        {"too wide: width decides, even", {1801, 2161}, 1501, 3000, {1500, 1800}},
        {"no limit", {4000, 4800}, 0, 0, {4000, 4800}},
        {"screen smaller than natural", {400, 480}, 300, 300, {400, 480}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(capToArea(400, 480, c.in, c.maxW, c.maxH), c.out);
    }
}

TEST(WindowFit, SnapDownToAWholeMultipleWithinTheArea) {
    EXPECT_EQ(snapToMultiple(400, 480, {799, 958}, 1920, 1050), (ClientSize{400, 480}));
    EXPECT_EQ(snapToMultiple(400, 480, {800, 960}, 1920, 1050), (ClientSize{800, 960}));
    EXPECT_EQ(snapToMultiple(400, 480, {1000, 960}, 1920, 1050), (ClientSize{800, 960}));  // the shorter axis decides
    EXPECT_EQ(snapToMultiple(400, 480, {1300, 1560}, 1920, 1050), (ClientSize{800, 960}));  // 3x won't fit
    EXPECT_EQ(snapToMultiple(320, 240, {1000, 750}, 0, 0), (ClientSize{960, 720}));
    EXPECT_EQ(snapToMultiple(400, 480, {100, 120}, 300, 300), (ClientSize{400, 480}));
}

TEST(WindowFit, StoredSizesOutsideTheRangeOpenAtNaturalSize) {
    struct Case {
        const char* name;
        ClientSize stored, out;
    };
    const Case cases[] = {
        {"kept", {600, 720}, {600, 720}},
        {"never set", {0, 0}, {400, 480}},
        {"negative", {-400, -480}, {400, 480}},
        {"narrower than natural", {398, 600}, {400, 480}},
        {"above the screen", {20000, 24000}, {400, 480}},
        {"taller than the screen only", {800, 1200}, {400, 480}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(checkStoredSize(400, 480, c.stored, 1920, 1050), c.out);
    }
}

}  // namespace
