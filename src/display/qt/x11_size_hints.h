#pragma once
// The aspect-ratio part of a window's WM_NORMAL_HINTS on X11, which Qt has
// no API for: with it the window manager keeps the picture's aspect while the
// user drags a border, instead of us correcting the size after each step.
// Qt rewrites the whole property whenever it changes the window's geometry or
// size limits, so the window sets the aspect again after each such change.
class QWindow;

// Fixes the client's aspect ratio at width:height (0 x 0 clears it), keeping
// every other hint Qt set. Nothing happens off X11 or before the window exists.
void setAspectHint(QWindow* window, int width, int height);
