// TEMPORARY local stand-in until the shared geometry lands (not committed)
#include "display/qt/screen_geometry_adapter.h"
#include <algorithm>
#include "ui/settings.h"
QSize sizedClient(SizingEdge edge, const QSize& proposed, const QSize& natural) {
    int w = proposed.width(), h = proposed.height();
    const int W = natural.width(), H = natural.height();
    if (edge == SizingEdge::Top || edge == SizingEdge::Bottom) w = 0;
    if (edge == SizingEdge::Left || edge == SizingEdge::Right) h = 0;
    if (int64_t(H) * w > int64_t(W) * h) w = std::max(w, W);
    else { h = std::max(h, H); w = W * h / H; }
    w &= ~1;
    h = H * w / W;
    return QSize(w, h);
}
void screenQuad(int pw, int ph, int tw, int th, int cw, int ch, bool ov, float overscan, QuadVertex out[4]) {
    float s = (uint64_t(pw) * ch > uint64_t(ph) * cw) ? float(cw) / pw : float(ch) / ph;
    if (ov) s *= 1.0f - overscan;
    float umax = float(pw) / tw, vmax = float(ph) / th;
    float cx = cw * 0.5f - 0.5f, cy = ch * 0.5f - 0.5f, hw = pw * s * 0.5f, hh = ph * s * 0.5f;
    out[0] = {cx - hw, cy + hh, 0, vmax}; out[1] = {cx - hw, cy - hh, 0, 0};
    out[2] = {cx + hw, cy + hh, umax, vmax}; out[3] = {cx + hw, cy - hh, umax, 0};
}
void stepOverscan(bool up) {
    if (settings.overscanOn) settings.overscan = up ? std::min(settings.overscan + 0.002f, 0.08f) : std::max(settings.overscan - 0.002f, 0.0f);
    settings.overscanOn = 1;
}
