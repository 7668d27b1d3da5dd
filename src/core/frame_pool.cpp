#include "core/capture_core.h"
#include "core/frame_buffer.h"

void FrameQueue::push(FrameBuffer* frame) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        slots[writeIndex] = frame;
        writeIndex = (writeIndex + 1) % kSlots;
        ++count;
    }
    semaphore.release();
}

FrameBuffer* FrameQueue::pop() {
    std::lock_guard<std::mutex> lock(mutex);
    FrameBuffer* frame = slots[readIndex];
    slots[readIndex] = nullptr;
    readIndex = (readIndex + 1) % kSlots;
    --count;
    return frame;
}

int32_t FrameQueue::size() {
    std::lock_guard<std::mutex> lock(mutex);
    return count;
}

void FrameQueue::reset() {
    while (semaphore.try_acquire()) {
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (FrameBuffer*& slot : slots) slot = nullptr;
    readIndex = 0;
    writeIndex = 0;
    count = 0;
}

void addRef(FrameBuffer* frame) {
    std::lock_guard<std::mutex> lock(frame->mutex);
    ++frame->refCount;
}

void release(FrameBuffer* frame) {
    int32_t left;
    {
        std::lock_guard<std::mutex> lock(frame->mutex);
        left = --frame->refCount;
    }
    // Pushed after the buffer's mutex is let go: no lock is held while another is taken.
    if (left == 0) framePool.freeQueue.push(frame);
}

void drainQueue(FrameQueue& queue) {
    while (queue.semaphore.try_acquire()) {
        if (FrameBuffer* frame = queue.pop()) release(frame);
    }
}
