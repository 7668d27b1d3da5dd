#pragma once
// The frame pool's record and queue shapes, shared by every consumer of frames.
#include <cstdint>
#include <mutex>
#include <semaphore>

// Sizes of a frame as the board delivers it.
constexpr uint32_t kVideoStorageBytes = 526592;  // 0x80900: most frame bytes kept
constexpr uint32_t kFrameVideoBytes = 518400;    // 720 columns x 240 pixels x 3 bytes
// The last read request may ask for up to 511 bytes past kVideoStorageBytes
// (whole 512-byte packets), so the storage is allocated that much larger.
constexpr uint32_t kVideoStorageAllocBytes = 527104;

enum FrameStatus : int32_t { FRAME_OK = 0, FRAME_SKIP = 1, FRAME_ERROR = 2 };

// One row of displayTypeTable (display/decode.h): the display image's layout.
struct DisplayLayout {
    int32_t type;          // display type number; 0 in a fresh buffer
    int32_t imageWidth;
    int32_t imageHeight;
    int32_t topWidth;
    int32_t topHeight;
    int32_t bottomWidth;
    int32_t bottomHeight;
    int32_t bottomOffset;  // index of the bottom screen's first pixel in the image
};

struct FrameBuffer {
    // Written by the reader thread while it alone holds the buffer.
    uint8_t* videoStorage = nullptr;  // kVideoStorageAllocBytes, allocated once
    uint8_t* audioData = nullptr;     // videoStorage + kFrameVideoBytes after a read
    int32_t audioLength = 0;
    int32_t status = FRAME_OK;
    // Written by decodeFrame on the UI thread before any consumer sees the frame.
    uint32_t* displayImage = nullptr;  // imageWidth x imageHeight pixels, 0x00RRGGBB
    DisplayLayout layout{};
    // Written by the capture source filter when it queues the frame.
    int64_t presentationTime = 0;
    // Guarded by mutex.
    int32_t refCount = 0;
    std::mutex mutex;
};

// A bounded ring of 13 frame pointers with a counting semaphore.
struct FrameQueue {
    static constexpr int kSlots = 13;
    std::mutex mutex;                             // guards slots, indices, count
    std::counting_semaphore<kSlots> semaphore{0};  // counts the entries
    FrameBuffer* slots[kSlots] = {};
    int32_t readIndex = 0;
    int32_t writeIndex = 0;
    int32_t count = 0;

    void push(FrameBuffer* frame);
    // Only after the caller has acquired the semaphore.
    FrameBuffer* pop();
    int32_t size();
    // Empties the queue and its semaphore without releasing anything (tests, restarts).
    void reset();
};

void addRef(FrameBuffer* frame);
// Drops one reference; the last one returns the buffer to the pool's free queue.
void release(FrameBuffer* frame);
// Releases every entry that can be taken without waiting (null entries skipped).
void drainQueue(FrameQueue& queue);
