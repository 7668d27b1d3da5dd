#pragma once
// The audio ring between the reader thread (the only writer of writeTotal and
// of the bytes behind it) and the engine's audio thread (the only writer of
// readTotal and the only reader of the bytes in front of it). No lock: each
// side reads the other's total with acquire and publishes its own with
// release. Distances use the low 32 bits of both totals (unsigned, so a wrap
// is harmless); positions use the full 64-bit total, because the ring size
// does not divide 2^32.
#include <atomic>
#include <cstdint>

class AudioRing {
public:
    static constexpr uint32_t kSize = 7658;
    static constexpr uint32_t kMaxHeld = kSize - 4;
    static constexpr uint32_t kStagingSize = 8752;  // the most one pass carries
    static constexpr uint32_t kLowWater = 1094;     // ~8 ms
    static constexpr uint32_t kHighWater = 5470;    // ~42 ms

    struct Pass {
        const uint8_t* data;  // nullptr: play silence, the ring keeps its data
        uint32_t bytes;
        int32_t backlog;      // bytes left behind the pass; -1 for a silent pass
    };

    // Reader thread. Stores what fits, in whole sample frames; a chunk larger
    // than the room is cut ("usbFifo full") and the rest dropped. Returns the
    // bytes stored.
    uint32_t push(const uint8_t* bytes, uint32_t count);

    // Audio thread. Copies bytesRequired bytes into the staging buffer, or
    // none when fewer are held, and steers the backlog into the band by
    // skipping or repeating one sample frame.
    Pass pull(uint32_t bytesRequired);

    // Only while neither side runs.
    void setTotals(uint64_t writeTotal, uint64_t readTotal);

    uint64_t writeTotal() const { return write_.load(std::memory_order_acquire); }
    uint64_t readTotal() const { return read_.load(std::memory_order_acquire); }
    const uint8_t* storage() const { return storage_; }

private:
    alignas(64) std::atomic<uint64_t> write_{0};  // reader thread
    alignas(64) std::atomic<uint64_t> read_{0};   // audio thread
    uint8_t storage_[kSize] = {};
    uint8_t staging_[kStagingSize] = {};          // audio thread
};
