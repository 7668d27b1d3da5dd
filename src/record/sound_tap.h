#pragma once
// The board's sound on its way into a recording: each frame that reaches the
// dispatch leaves its sound bytes here with its arrival time, and the
// recording graph takes them out on its streaming thread. One producer, one
// consumer, no locks; the storage is allocated once, when the tap is made.
#include <atomic>
#include <cstdint>
#include <vector>

#include "core/frame_buffer.h"

class SoundTap {
public:
    // The most sound one frame can carry (the storage after the picture).
    static constexpr int32_t kMaxChunkBytes = static_cast<int32_t>(kVideoStorageBytes - kFrameVideoBytes);
    // About four seconds of frames.
    static constexpr int32_t kChunks = 256;

    struct Chunk {
        int64_t time = 0;  // arrival, recording time (100 ns)
        int32_t bytes = 0;
        const uint8_t* data = nullptr;
    };

    SoundTap();

    // Producer. Whole stereo sample frames only; a full tap drops the chunk
    // (counted), which the consumer then hears as a gap.
    bool push(const uint8_t* data, int32_t bytes, int64_t time);
    // Consumer: the chunks waiting, and the i-th of them (0 = oldest).
    int32_t available() const;
    Chunk peek(int32_t i) const;
    void pop();
    int64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::vector<uint8_t> storage_;
    int64_t times_[kChunks] = {};
    int32_t lengths_[kChunks] = {};
    std::atomic<uint32_t> head_{0};  // next to write (producer)
    std::atomic<uint32_t> tail_{0};  // next to read (consumer)
    std::atomic<int64_t> dropped_{0};
};
