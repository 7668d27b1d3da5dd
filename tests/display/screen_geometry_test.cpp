#include <gtest/gtest.h>

#include "display/screen_geometry.h"

namespace {

void expectVertex(const QuadVertex& v, float x, float y, float u, float vv) {
    EXPECT_FLOAT_EQ(v.x, x);
    EXPECT_FLOAT_EQ(v.y, y);
    EXPECT_FLOAT_EQ(v.u, u);
    EXPECT_FLOAT_EQ(v.v, vv);
}

TEST(Quad, FitsThePictureWholeAndCentred) {
    struct Case {
        const char* name;
        int cw, ch;
        float left, top, right, bottom;  // expected picture edges in the client area
    };
    // The 400 x 480 picture in a 512 x 512 texture.
    const Case cases[] = {
        {"natural size", 400, 480, -0.5f, -0.5f, 399.5f, 479.5f},
        {"wider client: bars left and right", 800, 480, 199.5f, -0.5f, 599.5f, 479.5f},
        {"taller client: bars above and below", 400, 960, -0.5f, 239.5f, 399.5f, 719.5f},
        {"same aspect, doubled", 800, 960, -0.5f, -0.5f, 799.5f, 959.5f},
        {"odd client", 601, 480, 100.0f, -0.5f, 500.0f, 479.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Quad q = computeQuad(400, 480, 512, 512, c.cw, c.ch, false, false, 0.04f);
        // Strip order: bottom-left, top-left, bottom-right, top-right.
        expectVertex(q.vertices[0], c.left, c.bottom, 0.0f, 0.9375f);
        expectVertex(q.vertices[1], c.left, c.top, 0.0f, 0.0f);
        expectVertex(q.vertices[2], c.right, c.bottom, 0.78125f, 0.9375f);
        expectVertex(q.vertices[3], c.right, c.top, 0.78125f, 0.0f);
    }
}

TEST(Quad, OverscanShrinksOnlyInFullScreen) {
    struct Case {
        bool overscanOn, fullScreen;
        float halfWidth;
    };
    const Case cases[] = {
        {true, true, 200.0f * 0.96f},
        {true, false, 200.0f},
        {false, true, 200.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "on " << c.overscanOn << " full " << c.fullScreen);
        const Quad q = computeQuad(400, 240, 512, 256, 400, 240, c.overscanOn, c.fullScreen, 0.04f);
        EXPECT_FLOAT_EQ(q.vertices[3].x - q.vertices[0].x, 2 * c.halfWidth);
        EXPECT_FLOAT_EQ((q.vertices[3].x + q.vertices[0].x) / 2, 199.5f) << "stays centred";
    }
}

TEST(Quad, DegenerateSizesGiveAnEmptyQuad) {
    const Quad q = computeQuad(0, 0, 1, 1, 400, 240, false, false, 0.0f);
    for (const QuadVertex& v : q.vertices) {
        EXPECT_FLOAT_EQ(v.x, 199.5f);
        EXPECT_FLOAT_EQ(v.y, 119.5f);
    }
}

TEST(TextureSize, IsTheNextPowerOfTwo) {
    const int cases[][2] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {240, 256}, {256, 256}, {257, 512}, {400, 512}, {960, 1024}};
    for (const auto& c : cases) EXPECT_EQ(textureSizeFor(c[0]), c[1]) << c[0];
}

// A 400 x 480 window whose frame adds 16 x 39, with its client area's top-left at (100, 50).
constexpr int kW = 400, kH = 480, kEw = 16, kEh = 39;
constexpr WindowRect kStart{100, 50, 100 + kEw + kW, 50 + kEh + kH};

// The proposed rectangle after dragging `edge` so the client would be w x h.
WindowRect dragTo(SizingEdge edge, int w, int h) {
    WindowRect r = kStart;
    const bool left = edge == SizingEdge::Left || edge == SizingEdge::TopLeft || edge == SizingEdge::BottomLeft;
    const bool top = edge == SizingEdge::Top || edge == SizingEdge::TopLeft || edge == SizingEdge::TopRight;
    const bool horizontal = edge != SizingEdge::Top && edge != SizingEdge::Bottom;
    const bool vertical = edge != SizingEdge::Left && edge != SizingEdge::Right;
    if (horizontal) (left ? r.left = r.right - kEw - w : r.right = r.left + kEw + w);
    if (vertical) (top ? r.top = r.bottom - kEh - h : r.bottom = r.top + kEh + h);
    return r;
}

TEST(Sizing, KeepsAspectEvenWidthAndNaturalMinimum) {
    struct Case {
        const char* name;
        SizingEdge edge;
        int w, h;                // proposed client size (the undragged one is ignored for edges)
        int wantW, wantH;
    };
    const Case cases[] = {
        {"right edge to 601", SizingEdge::Right, 601, kH, 600, 720},
        {"left edge to 601", SizingEdge::Left, 601, kH, 600, 720},
        {"bottom edge to 500", SizingEdge::Bottom, kW, 500, 416, 499},
        {"top edge to 500", SizingEdge::Top, kW, 500, 416, 499},
        {"corner, width decides", SizingEdge::BottomRight, 601, 500, 600, 720},
        {"corner, height decides", SizingEdge::TopLeft, 500, 900, 750, 900},
        {"right edge inwards", SizingEdge::Right, 300, kH, kW, kH},
        {"left edge inwards", SizingEdge::Left, 10, kH, kW, kH},
        {"top edge inwards", SizingEdge::Top, kW, 300, kW, kH},
        {"bottom edge inwards", SizingEdge::Bottom, kW, 0, kW, kH},
        {"corner inwards", SizingEdge::TopRight, 200, 100, kW, kH},
        {"corner past the opposite side", SizingEdge::BottomLeft, -50, -20, kW, kH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Sizing s = sizeWindow(kW, kH, kEw, kEh, c.edge, dragTo(c.edge, c.w, c.h));
        EXPECT_EQ(s.clientWidth, c.wantW);
        EXPECT_EQ(s.clientHeight, c.wantH);
        EXPECT_EQ(s.rect.right - s.rect.left, kEw + c.wantW);
        EXPECT_EQ(s.rect.bottom - s.rect.top, kEh + c.wantH);
    }
}

TEST(Sizing, TheSideOppositeTheDragStaysPut) {
    struct Case {
        SizingEdge edge;
        bool keepsLeft, keepsTop, keepsRight, keepsBottom;
    };
    const Case cases[] = {
        {SizingEdge::Left, false, true, true, false},      {SizingEdge::BottomLeft, false, true, true, false},
        {SizingEdge::Right, true, true, false, false},     {SizingEdge::Bottom, true, true, false, false},
        {SizingEdge::BottomRight, true, true, false, false}, {SizingEdge::Top, true, false, false, true},
        {SizingEdge::TopRight, true, false, false, true},  {SizingEdge::TopLeft, false, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.edge));
        const WindowRect proposed = dragTo(c.edge, 611, 613);
        const WindowRect r = sizeWindow(kW, kH, kEw, kEh, c.edge, proposed).rect;
        if (c.keepsLeft) {
            EXPECT_EQ(r.left, proposed.left);
        }
        if (c.keepsTop) {
            EXPECT_EQ(r.top, proposed.top);
        }
        if (c.keepsRight) {
            EXPECT_EQ(r.right, proposed.right);
        }
        if (c.keepsBottom) {
            EXPECT_EQ(r.bottom, proposed.bottom);
        }
    }
}

TEST(OverscanKeys, StepInFloatWithinTheLimits) {
    uint8_t on = 1;
    float amount = 0.04f;
    for (int i = 0; i < 3; ++i) overscanPageUp(on, amount);
    EXPECT_EQ(amount, 0.046f);

    amount = 0.08f;
    overscanPageUp(on, amount);
    EXPECT_EQ(amount, 0.08f);
    amount = 0.079f;
    overscanPageUp(on, amount);
    EXPECT_EQ(amount, 0.08f);

    amount = 0.001f;
    overscanPageDown(on, amount);
    EXPECT_EQ(amount, 0.0f);
    amount = 0.01f;
    overscanPageDown(on, amount);
    EXPECT_EQ(amount, static_cast<float>(0.01f - 0.002));
}

TEST(OverscanKeys, FirstPressWhileOffOnlySwitchesOn) {
    for (auto press : {overscanPageUp, overscanPageDown}) {
        uint8_t on = 0;
        float amount = 0.04f;
        press(on, amount);
        EXPECT_EQ(on, 1);
        EXPECT_EQ(amount, 0.04f);
    }
}

}  // namespace
