#pragma once
// PNG snapshots of the decoded picture.
#include <cstdint>

#include "core/frame_buffer.h"

// UI thread, from the frame dispatch: reserves the frame, picks the name and
// starts a detached save thread. Reports on the status line.
void saveSnapshot(FrameBuffer* frame);

// Encodes RGB rows (width x height x 3) and writes them as a PNG file.
// 0 success, 79 the file could not be written, other values encoder failures.
unsigned savePng(const char* fileName, const uint8_t* rgb, unsigned width, unsigned height);
