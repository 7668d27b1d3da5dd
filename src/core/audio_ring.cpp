#include "core/audio_ring.h"

#include <algorithm>
#include <cstring>

#include "base/debug_log.h"

uint32_t AudioRing::push(const uint8_t* bytes, uint32_t count) {
    const uint64_t write = write_.load(std::memory_order_relaxed);
    const uint32_t read32 = static_cast<uint32_t>(read_.load(std::memory_order_acquire));
    // Whole sample frames only: a cut inside a frame would shift every later
    // frame by one channel.
    const uint32_t room = (read32 - static_cast<uint32_t>(write) + kMaxHeld) & ~3u;
    if (count > room) {
        debugPrintf("usbFifo full\n");
        count = room;
    }
    if (count == 0) return 0;
    const uint32_t pos = static_cast<uint32_t>(write % kSize);
    const uint32_t first = std::min(count, kSize - pos);
    std::memcpy(storage_ + pos, bytes, first);
    std::memcpy(storage_, bytes + first, count - first);
    write_.store(write + count, std::memory_order_release);
    return count;
}

AudioRing::Pass AudioRing::pull(uint32_t bytesRequired) {
    const uint64_t read = read_.load(std::memory_order_relaxed);
    const uint32_t write32 = static_cast<uint32_t>(write_.load(std::memory_order_acquire));
    const uint32_t available = write32 - static_cast<uint32_t>(read);
    if (available < bytesRequired) return {nullptr, 0, -1};
    const uint32_t n = std::min(bytesRequired, kStagingSize);
    if (n == 0) return {nullptr, 0, -1};

    const uint32_t pos = static_cast<uint32_t>(read % kSize);
    const uint32_t first = std::min(n, kSize - pos);
    std::memcpy(staging_, storage_ + pos, first);
    std::memcpy(staging_ + first, storage_, n - first);

    const uint32_t backlog = available - n;
    // One sample frame skipped or played twice now and then keeps the two
    // clocks together without resampling.
    uint32_t advance = n;
    if (backlog > kHighWater)
        advance = n + 4;
    else if (backlog < kLowWater && n >= 4)
        advance = n - 4;
    read_.store(read + advance, std::memory_order_release);
    return {staging_, n, static_cast<int32_t>(backlog)};
}

void AudioRing::setTotals(uint64_t writeTotal, uint64_t readTotal) {
    write_.store(writeTotal, std::memory_order_release);
    read_.store(readTotal, std::memory_order_release);
}
