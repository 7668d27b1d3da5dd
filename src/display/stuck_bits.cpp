#include "display/stuck_bits.h"

#include <cstring>

#include "core/link_stats.h"
#include "display/frame_pixels.h"

void gatherStuckBits(const uint8_t* video) {
    // The bottom screen's bytes taken 24 at a time: three 64-bit words hold
    // eight whole pixels, so each byte keeps its colour lane across words
    // and the per-byte AND/OR folds into the three lanes at the end.
    constexpr int kBegin = kColumnBytes * kBottomFirstColumn;
    constexpr int kEnd = kColumnBytes * kFrameColumns;
    static_assert(kBegin % 24 == 0 && (kEnd - kBegin) % 24 == 0);
    uint64_t on[3] = {~0ull, ~0ull, ~0ull};
    uint64_t any[3] = {0, 0, 0};
    for (const uint8_t* p = video + kBegin; p != video + kEnd; p += 24) {
        uint64_t w[3];
        std::memcpy(w, p, sizeof w);
        for (int k = 0; k < 3; ++k) {
            on[k] &= w[k];
            any[k] |= w[k];
        }
    }
    uint32_t onMask = 0xFFFFFF;
    uint32_t anyMask = 0;
    for (int byte = 0; byte < 24; ++byte) {
        const int lane = byte % 3;  // 0 red, 1 green, 2 blue
        const uint32_t onByte = static_cast<uint32_t>(on[byte / 8] >> (8 * (byte % 8))) & 0xFF;
        const uint32_t anyByte = static_cast<uint32_t>(any[byte / 8] >> (8 * (byte % 8))) & 0xFF;
        onMask &= ~(0xFFu << (8 * lane)) | (onByte << (8 * lane));
        anyMask |= anyByte << (8 * lane);
    }
    linkStats.stuckOnMask.store(onMask, std::memory_order_relaxed);
    linkStats.stuckOffMask.store(~anyMask & 0xFFFFFF, std::memory_order_relaxed);
}
