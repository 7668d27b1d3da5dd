#pragma once
// The screen window's geometry in Qt terms: where its picture starts in a
// frame, and which border the user dragged.
#include <QImage>
#include <QRect>
#include <cstdint>

#include "core/frame_buffer.h"
#include "display/qt/screen_window.h"
#include "display/screen_geometry.h"

// The first pixel of the window's picture in the frame's display image, or
// null when the mode shows none or the image is too small for the picture
// (a frame of another display type).
const uint32_t* pictureStart(const FrameBuffer& frame, WindowMode mode, int pictureWidth,
                             int pictureHeight);

// The picture of the mode as an opaque image (the display image's fourth byte
// is undefined), or a null image when pictureStart gives none.
QImage pictureImage(const FrameBuffer& frame, WindowMode mode, int pictureWidth, int pictureHeight);

// The border the user dragged, from the client geometry before and after.
SizingEdge inferSizingEdge(const QRect& before, const QRect& after);
