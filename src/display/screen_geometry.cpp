#include "display/screen_geometry.h"

#include <algorithm>

Quad computeQuad(int pw, int ph, int tw, int th, int cw, int ch, bool overscanOn, bool fullScreen,
                 float overscan) {
    // Fit whole: the wider of the two aspect ratios decides which side fills.
    float s = 0.0f;
    if (static_cast<uint32_t>(pw) * static_cast<uint32_t>(ch) > static_cast<uint32_t>(ph) * static_cast<uint32_t>(cw))
        s = static_cast<float>(cw) / static_cast<float>(pw);
    else if (ph > 0)
        s = static_cast<float>(ch) / static_cast<float>(ph);
    if (overscanOn && fullScreen) s = s * (1.0f - overscan);

    const float umax = tw > 0 ? static_cast<float>(pw) / static_cast<float>(tw) : 0.0f;
    const float vmax = th > 0 ? static_cast<float>(ph) / static_cast<float>(th) : 0.0f;
    // Half a pixel left and up puts texel centres on pixel centres.
    const float cx = static_cast<float>(cw) * 0.5f - 0.5f;
    const float cy = static_cast<float>(ch) * 0.5f - 0.5f;
    const float hw = static_cast<float>(pw) * s * 0.5f;
    const float hh = static_cast<float>(ph) * s * 0.5f;
    return Quad{{
        {cx - hw, cy + hh, 0.0f, vmax},
        {cx - hw, cy - hh, 0.0f, 0.0f},
        {cx + hw, cy + hh, umax, vmax},
        {cx + hw, cy - hh, umax, 0.0f},
    }};
}

int textureSizeFor(int size) {
    int n = 1;
    while (n < size) n *= 2;
    return n;
}

Sizing sizeWindow(int W, int H, int ew, int eh, SizingEdge edge, WindowRect r) {
    if (W <= 0 || H <= 0) return Sizing{r, r.right - r.left - ew, r.bottom - r.top - eh};
    int64_t w = (r.right - r.left) - ew;
    int64_t h = (r.bottom - r.top) - eh;
    // An edge drag says nothing about the other dimension.
    if (edge == SizingEdge::Top || edge == SizingEdge::Bottom) w = 0;
    if (edge == SizingEdge::Left || edge == SizingEdge::Right) h = 0;

    if (H * w > W * h) {
        w = std::max<int64_t>(w, W);
    } else {
        h = std::max<int64_t>(h, H);
        w = W * h / H;
    }
    w &= ~int64_t{1};
    h = H * w / W;

    const int cw = static_cast<int>(w);
    const int ch = static_cast<int>(h);
    return Sizing{anchorRect(edge, r, ew, eh, cw, ch), cw, ch};
}

WindowRect anchorRect(SizingEdge edge, WindowRect r, int ew, int eh, int cw, int ch) {
    switch (edge) {
        case SizingEdge::Left:
        case SizingEdge::BottomLeft:
            r.left = r.right - ew - cw;
            r.bottom = r.top + eh + ch;
            break;
        case SizingEdge::Right:
        case SizingEdge::Bottom:
        case SizingEdge::BottomRight:
            r.right = r.left + ew + cw;
            r.bottom = r.top + eh + ch;
            break;
        case SizingEdge::Top:
        case SizingEdge::TopRight:
            r.top = r.bottom - eh - ch;
            r.right = r.left + ew + cw;
            break;
        case SizingEdge::TopLeft:
            r.left = r.right - ew - cw;
            r.top = r.bottom - eh - ch;
            break;
    }
    return r;
}

// Each step is taken in double and stored back as a float, one step at a time.
void overscanPageUp(uint8_t& overscanOn, float& overscan) {
    if (overscanOn) {
        overscan = static_cast<float>(overscan + 0.002);
        if (overscan > 0.08) overscan = static_cast<float>(0.08);
    }
    overscanOn = 1;
}

void overscanPageDown(uint8_t& overscanOn, float& overscan) {
    if (overscanOn) {
        overscan = static_cast<float>(overscan - 0.002);
        if (overscan < 0) overscan = 0;
    }
    overscanOn = 1;
}
