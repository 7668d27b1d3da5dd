#pragma once
// The "Video Codec" dialog: compressor, quality, frame rate and screens.
class QWidget;

// Modal. 1 after "&OK", 0 after "&Cancel" or the close box, <= 0 when the
// dialog could not be shown.
int showVideoCodecDialog(QWidget* owner);
