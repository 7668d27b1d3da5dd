#pragma once
// The share thread's side of PipeWireShare: the loop, the connection and the
// two nodes. Fields marked "share thread" are touched only there.
#include <pipewire/pipewire.h>

#include <atomic>
#include <string>

#include "share/frame_handover.h"
#include "share/pipewire/pipewire_share.h"
#include "share/sound_feed.h"

struct VideoNode {
    pw_stream* stream = nullptr;
    spa_hook listener{};
    PictureSize offered;     // the size the formats offer
    PictureSize negotiated;  // the size of the format agreed on, 0 x 0 until then
    PixelOrder order = PixelOrder::BGRx;
    int32_t stride = 0;
    int scale = 1;
    uint64_t sequence = 0;
};

struct SoundNode {
    pw_stream* stream = nullptr;
    spa_hook listener{};
};

struct PipeWireShare::Loop {
    explicit Loop(PipeWireShare& share) : owner(share) {}

    PipeWireShare& owner;
    PipeWireShare::StateHandler handler = nullptr;
    void* handlerContext = nullptr;

    // Made before the thread starts and kept until it has stopped.
    pw_thread_loop* thread = nullptr;
    spa_source* wake = nullptr;   // signalled by other threads
    spa_source* retry = nullptr;  // the reconnect timer

    // Written by other threads, read on the share thread.
    std::atomic<bool> wantSharing{false};
    std::atomic<int> wantScale{1};
    std::atomic<bool> coreLost{false};  // set by the core's error event
    FrameHandover frames;
    SoundFeed sound;
    // Written on the share thread, read by the UI thread to decide whether
    // a frame is worth handing over.
    std::atomic<bool> videoStreaming{false};
    std::atomic<bool> soundStreaming{false};

    // Share thread (and stop(), with the loop locked).
    pw_context* context = nullptr;  // made on the first connection attempt
    pw_core* core = nullptr;
    spa_hook coreListener{};
    bool retryArmed = false;
    bool nodesUp = false;
    VideoNode video;
    SoundNode audio;
    PipeWireShare::State reported = PipeWireShare::State::Starting;
    std::string reportedMessage;

    std::atomic<uint64_t> queued{0}, noBuffer{0};
    std::atomic<int32_t> width{0}, height{0};

    void update();  // the share thread's reaction to anything that changed
    void report(PipeWireShare::State state, const std::string& message);
    void connect();
    void disconnect();
    void armRetry(int seconds);
};

// video_node.cpp
bool createVideoNode(PipeWireShare::Loop& loop);
void destroyVideoNode(PipeWireShare::Loop& loop);
// After a frame was handed over: its picture goes out (or is dropped).
void driveVideoNode(PipeWireShare::Loop& loop);
// sound_node.cpp
bool createSoundNode(PipeWireShare::Loop& loop);
void destroySoundNode(PipeWireShare::Loop& loop);
