#include "share/frame_handover.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>


namespace {

// The UI thread offering frames while the share thread takes them: every
// reference the slot took is given back, whether the frame was taken or
// overtaken.
TEST(FrameHandover, EveryReferenceComesBackUnderLoad) {
    FrameBuffer buffers[3];
    FrameBuffer* frames[3];
    for (int i = 0; i < 3; ++i) {
        frames[i] = &buffers[i];
        addRef(frames[i]);  // the producer's own reference, as the UI thread's
    }
    std::atomic<bool> done{false};
    uint64_t taken = 0;
    {
        FrameHandover handover;
        std::thread consumer([&] {
            while (!done.load()) {
                if (FrameBuffer* f = handover.take()) {
                    ++taken;
                    release(f);
                }
            }
        });
        for (int i = 0; i < 20000; ++i) handover.offer(frames[i % 3]);
        done.store(true);
        consumer.join();
        handover.offer(frames[0]);  // one left waiting: released with the slot
        EXPECT_EQ(taken + handover.replaced(), 20000u);
    }
    for (FrameBuffer* f : frames) EXPECT_EQ(f->refCount, 1);
}

}  // namespace
