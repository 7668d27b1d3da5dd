#pragma once
// A compressor's own boxes: configuration (edits its options) and about.
#include "record/media.h"

class QWidget;

// Modal. 1 when the user confirmed (the options are then changed), else 0.
int showCompressorConfigBox(QWidget* owner, media::VideoCompressor& compressor);
void showCompressorAboutBox(QWidget* owner, media::VideoCompressor& compressor);
