#pragma once
// How a screen window scales its picture: bilinear, point, or pixel perfect
// (the largest whole multiple of the natural size that fits, centred, with
// point filtering). Pure functions beside the quad geometry.
#include <cstdint>

#include "display/screen_geometry.h"

// The stored byte is the mode; a reader that only knows 0 and 1 takes 2 as
// point filtering, so the settings file stays readable by older readers.
enum class ScalingMode : uint8_t { Bilinear = 0, Point = 1, PixelPerfect = 2 };

// A stored value outside the three modes is bilinear.
ScalingMode scalingModeFromStored(uint8_t stored);
// F4: bilinear -> point -> pixel perfect -> bilinear.
ScalingMode nextScalingMode(ScalingMode mode);
inline bool usesPointFiltering(ScalingMode mode) { return mode != ScalingMode::Bilinear; }

// The largest whole factor k with k*pw <= aw and k*ph <= ah; 0 when not even
// the natural size fits (or a size is not positive).
int wholeMultipleThatFits(int pictureWidth, int pictureHeight, int areaWidth, int areaHeight);

// The quad of the mode. Pixel perfect: the factor is chosen within the client
// area (shrunk by the overscan fraction in full screen with overscan on) and
// the picture's edges fall on whole pixels; when not even 1x fits it falls
// back to fitting whole like the other modes.
Quad computeScaledQuad(ScalingMode mode, int pictureWidth, int pictureHeight, int textureWidth,
                       int textureHeight, int clientWidth, int clientHeight, bool overscanOn,
                       bool fullScreen, float overscan);
