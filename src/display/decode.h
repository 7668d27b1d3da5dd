#pragma once
// Frame decoding: the board's column-stored frame to the display image.
#include "core/frame_buffer.h"

constexpr int kDisplayTypeCount = 8;
extern const DisplayLayout displayTypeTable[kDisplayTypeCount];

// UI thread, for every frame before any consumer sees it. Reads
// settings.displayType; (re)allocates the buffer's image when the type changed.
void decodeFrame(FrameBuffer* frame);

// Frees the buffer's display image (allocated by decodeFrame) and resets its
// layout, so the next decode allocates afresh. For the pool's teardown.
void freeDisplayImage(FrameBuffer* frame);
