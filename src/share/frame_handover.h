#pragma once
// The newest decoded frame on its way from the UI thread to the share
// thread: one slot, swapped atomically, so neither side ever waits. A frame
// the share thread has not taken when the next one comes is replaced (and
// counted); the slot holds one reference to the frame it keeps.
#include <atomic>
#include <cstdint>

#include "core/frame_buffer.h"

class FrameHandover {
public:
    ~FrameHandover() { clear(); }

    // UI thread, after the frame is decoded: takes a reference of its own.
    void offer(FrameBuffer* frame);
    // Share thread: the newest frame with its reference (the caller releases
    // it), or null.
    FrameBuffer* take();
    // Releases a frame still waiting.
    void clear();

    uint64_t replaced() const { return replaced_.load(std::memory_order_relaxed); }

private:
    std::atomic<FrameBuffer*> waiting_{nullptr};
    std::atomic<uint64_t> replaced_{0};
};
