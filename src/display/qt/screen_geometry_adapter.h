#pragma once
// The screen window's geometry in Qt terms: where its picture starts in a
// frame, which border the user dragged, and the aspect-locked size, quad and
// overscan steps of the shared geometry rules.
#include <QRect>
#include <QSize>
#include <cstdint>

#include "core/frame_buffer.h"
#include "display/qt/screen_renderer.h"
#include "display/qt/screen_window.h"

enum class SizingEdge { Left, Right, Top, Bottom, TopLeft, TopRight, BottomLeft, BottomRight };

// The first pixel of the window's picture in the frame's display image, or
// null when the mode shows none or the image is too small for the picture
// (a frame of another display type).
const uint32_t* pictureStart(const FrameBuffer& frame, WindowMode mode, int pictureWidth,
                             int pictureHeight);

// The border the user dragged, from the client geometry before and after.
SizingEdge inferSizingEdge(const QRect& before, const QRect& after);

// The client size for a proposed one while dragging `edge`: never below the
// natural size, always at its aspect ratio.
QSize sizedClient(SizingEdge edge, const QSize& proposed, const QSize& natural);

// The picture's quad in a client area of clientWidth x clientHeight pixels.
void screenQuad(int pictureWidth, int pictureHeight, int textureWidth, int textureHeight,
                int clientWidth, int clientHeight, bool overscanApplies, float overscan,
                QuadVertex out[4]);

// Page Up (up = true) or Page Down on settings.overscan / overscanOn.
void stepOverscan(bool up);
