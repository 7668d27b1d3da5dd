#include "record/sound_tap.h"

#include <cstring>

SoundTap::SoundTap() : storage_(static_cast<size_t>(kChunks) * kMaxChunkBytes) {}

bool SoundTap::push(const uint8_t* data, int32_t bytes, int64_t time) {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= static_cast<uint32_t>(kChunks)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    const uint32_t slot = head % kChunks;
    if (!data || bytes < 0) bytes = 0;
    bytes = (bytes > kMaxChunkBytes ? kMaxChunkBytes : bytes) & ~3;
    if (bytes > 0) std::memcpy(&storage_[static_cast<size_t>(slot) * kMaxChunkBytes], data, static_cast<size_t>(bytes));
    times_[slot] = time;
    lengths_[slot] = bytes;
    head_.store(head + 1, std::memory_order_release);
    return true;
}

int32_t SoundTap::available() const {
    return static_cast<int32_t>(head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed));
}

SoundTap::Chunk SoundTap::peek(int32_t i) const {
    const uint32_t slot = (tail_.load(std::memory_order_relaxed) + static_cast<uint32_t>(i)) % kChunks;
    return {times_[slot], lengths_[slot], &storage_[static_cast<size_t>(slot) * kMaxChunkBytes]};
}

void SoundTap::pop() { tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
