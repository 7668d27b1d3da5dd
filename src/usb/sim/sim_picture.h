#pragma once
// Drawing the simulated board's frames (sim_picture.cpp), in the board's
// column order. BoardModel::expectedPixel gives the same picture pixel by pixel.
#include <cstdint>

namespace usb {

// The parts that never change, into 518400 bytes of frame.
void drawStillPicture(uint8_t* video);
// Over a copy of the still picture: what moves in frame `frame`.
void drawMovingParts(uint8_t* video, uint64_t frame);
// The frame's sound, BoardModel::samplesInFrame(frame) x 4 bytes.
void drawSound(uint8_t* out, uint64_t frame);

}  // namespace usb
