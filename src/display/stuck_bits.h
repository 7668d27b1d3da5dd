#pragma once
#include <cstdint>

// Finds the colour bits set in every bottom-screen pixel of the raw frame and
// those clear in every one, into linkStats.stuckOnMask / stuckOffMask.
void gatherStuckBits(const uint8_t* video);
