#include "display/scaling_policy.h"

#include <algorithm>

ScalingMode scalingModeFromStored(uint8_t stored) {
    return stored <= 2 ? ScalingMode(stored) : ScalingMode::Bilinear;
}

ScalingMode nextScalingMode(ScalingMode mode) {
    switch (mode) {
    case ScalingMode::Bilinear: return ScalingMode::Point;
    case ScalingMode::Point: return ScalingMode::PixelPerfect;
    case ScalingMode::PixelPerfect: break;
    }
    return ScalingMode::Bilinear;
}

int wholeMultipleThatFits(int pw, int ph, int aw, int ah) {
    if (pw <= 0 || ph <= 0 || aw <= 0 || ah <= 0) return 0;
    return std::min(aw / pw, ah / ph);
}

Quad computeScaledQuad(ScalingMode mode, int pw, int ph, int tw, int th, int cw, int ch, bool overscanOn,
                       bool fullScreen, float overscan) {
    if (mode != ScalingMode::PixelPerfect)
        return computeQuad(pw, ph, tw, th, cw, ch, overscanOn, fullScreen, overscan);
    int aw = cw;
    int ah = ch;
    if (overscanOn && fullScreen) {
        aw = int(float(cw) * (1.0f - overscan));
        ah = int(float(ch) * (1.0f - overscan));
    }
    const int k = wholeMultipleThatFits(pw, ph, aw, ah);
    if (k == 0) return computeQuad(pw, ph, tw, th, cw, ch, overscanOn, fullScreen, overscan);

    // Whole-pixel edges: with pixel centres at integers, a pixel's left edge
    // is at its index minus one half.
    const int width = k * pw;
    const int height = k * ph;
    const float left = float((cw - width) / 2) - 0.5f;
    const float top = float((ch - height) / 2) - 0.5f;
    const float right = left + float(width);
    const float bottom = top + float(height);
    const float umax = tw > 0 ? float(pw) / float(tw) : 0.0f;
    const float vmax = th > 0 ? float(ph) / float(th) : 0.0f;
    return Quad{{
        {left, bottom, 0.0f, vmax},
        {left, top, 0.0f, 0.0f},
        {right, bottom, umax, vmax},
        {right, top, umax, 0.0f},
    }};
}
