#pragma once
// Screen-window geometry: where the picture goes in the client area, how a
// window may be resized, and the overscan keys. Pure functions for the UI.
#include <cstdint>

// One corner of the picture's quad: client position and texture coordinate.
struct QuadVertex {
    float x, y, u, v;
};

// The four corners in triangle-strip order: bottom-left, top-left,
// bottom-right, top-right.
struct Quad {
    QuadVertex vertices[4];
};

// The picture (pw x ph, held in a texture of tw x th) scaled to fit the
// client area (cw x ch) whole and centred on the pixel grid's half-pixel
// shift; in full screen with overscan on it shrinks by the overscan fraction.
Quad computeQuad(int pictureWidth, int pictureHeight, int textureWidth, int textureHeight, int clientWidth,
                 int clientHeight, bool overscanOn, bool fullScreen, float overscan);

// The smallest power of two that is at least size (1 for sizes up to 1).
int textureSizeFor(int size);

// The window edge or corner being dragged.
enum class SizingEdge { Left, Right, Top, Bottom, TopLeft, TopRight, BottomLeft, BottomRight };

struct WindowRect {
    int left, top, right, bottom;
};

struct Sizing {
    WindowRect rect;   // the adjusted window rectangle
    int clientWidth;   // never below the natural size, always even
    int clientHeight;  // natural aspect ratio (up to integer truncation)
};

// Adjusts a proposed window rectangle during a resize so the client area keeps
// the natural size's aspect ratio, never shrinks below it, and the side
// opposite the dragged one stays where it is. extraWidth/extraHeight are the
// frame's sizes added to the client size.
Sizing sizeWindow(int naturalWidth, int naturalHeight, int extraWidth, int extraHeight, SizingEdge edge,
                  WindowRect proposed);

// The rectangle rewritten for a client size of cw x ch so that the side (or
// corner) opposite the dragged one stays where it is.
WindowRect anchorRect(SizingEdge edge, WindowRect proposed, int extraWidth, int extraHeight, int clientWidth,
                      int clientHeight);

// Page Up / Page Down: the first press with overscan off only switches it on;
// later ones move the amount by 0.002 within 0..0.08.
void overscanPageUp(uint8_t& overscanOn, float& overscan);
void overscanPageDown(uint8_t& overscanOn, float& overscan);
