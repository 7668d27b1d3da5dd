#include "display/qt/window_geometry.h"

const uint32_t* pictureStart(const FrameBuffer& frame, WindowMode mode, int pictureWidth,
                             int pictureHeight) {
    if (!frame.displayImage || pictureWidth <= 0 || pictureHeight <= 0) return nullptr;
    const DisplayLayout& layout = frame.layout;
    int64_t offset;
    switch (mode) {
    case kModeJoined:
    case kModeTop:
        offset = 0;
        break;
    case kModeBottom:
        offset = layout.bottomOffset;
        break;
    default:
        return nullptr;  // stereo types get no picture
    }
    // The picture must lie inside this frame's image: frames decoded for
    // another display type may still be on their way.
    const int64_t last = offset + int64_t(pictureHeight - 1) * layout.imageWidth + pictureWidth;
    if (pictureWidth > layout.imageWidth || offset < 0 ||
        last > int64_t(layout.imageWidth) * layout.imageHeight)
        return nullptr;
    return frame.displayImage + offset;
}

QImage pictureImage(const FrameBuffer& frame, WindowMode mode, int width, int height) {
    const uint32_t* first = pictureStart(frame, mode, width, height);
    if (!first) return {};
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        const uint32_t* row = first + ptrdiff_t(y) * frame.layout.imageWidth;
        auto* out = reinterpret_cast<uint32_t*>(picture.scanLine(y));
        for (int x = 0; x < width; ++x) out[x] = row[x] | 0xFF000000u;
    }
    return picture;
}

SizingEdge inferSizingEdge(const QRect& before, const QRect& after) {
    const bool widthChanged = after.width() != before.width();
    const bool heightChanged = after.height() != before.height();
    // A border that moved while the opposite one stayed is the dragged one.
    const bool left = after.left() != before.left() && after.right() == before.right();
    const bool top = after.top() != before.top() && after.bottom() == before.bottom();
    if (widthChanged && heightChanged) {
        if (top) return left ? SizingEdge::TopLeft : SizingEdge::TopRight;
        return left ? SizingEdge::BottomLeft : SizingEdge::BottomRight;
    }
    if (heightChanged) return top ? SizingEdge::Top : SizingEdge::Bottom;
    return left ? SizingEdge::Left : SizingEdge::Right;
}
