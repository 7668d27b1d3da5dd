#pragma once
// Pictures for the PNG tests, RGB rows top to bottom.
#include <cstdint>
#include <vector>

namespace pngtest {

std::vector<uint8_t> flatImage(unsigned w, unsigned h, uint8_t r, uint8_t g, uint8_t b);
std::vector<uint8_t> gradientImage(unsigned w, unsigned h);
std::vector<uint8_t> noiseImage(unsigned w, unsigned h, uint32_t seed);
// Something like a captured game screen: gradients, tiles, sprites and text,
// with black where the display type paints nothing. For 400x480 the bottom
// screen sits in columns 40-359 of rows 240-479.
std::vector<uint8_t> frameLikeImage(unsigned w, unsigned h);

}  // namespace pngtest
