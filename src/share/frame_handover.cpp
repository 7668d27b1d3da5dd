#include "share/frame_handover.h"

void FrameHandover::offer(FrameBuffer* frame) {
    addRef(frame);
    if (FrameBuffer* old = waiting_.exchange(frame, std::memory_order_acq_rel)) {
        replaced_.fetch_add(1, std::memory_order_relaxed);
        release(old);
    }
}

FrameBuffer* FrameHandover::take() { return waiting_.exchange(nullptr, std::memory_order_acq_rel); }

void FrameHandover::clear() {
    if (FrameBuffer* old = take()) release(old);
}
