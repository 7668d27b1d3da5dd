#pragma once
// The live picture and the board's sound as two PipeWire nodes, a camera
// ("kestrel-capture-video", Video/Source) and a microphone-like source
// ("kestrel-capture-sound", Audio/Source), for other programs to read.
//
// Threads: everything PipeWire does for us runs on the share thread (a
// pw_thread_loop named "share"). The UI thread only hands frames and
// requests over through atomics and an event the loop wakes on, so it never
// waits for PipeWire, nor does the reader thread, which never sees the share.
// The connection to the daemon is kept (and retried every couple of seconds
// while there is none), so the program can say whether sharing is possible.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/frame_buffer.h"
#include "share/shared_picture.h"

class PipeWireShare {
public:
    enum class State {
        Starting,     // not connected yet
        NoPipeWire,   // no daemon to reach (message says why)
        Ready,        // connected, not sharing
        Sharing,      // connected, nodes offered
        Lost,         // the daemon went away while sharing; waiting for it
    };
    // Called on the share thread; must not block (post to the UI thread).
    using StateHandler = void (*)(void* context, State state, const std::string& message);
    // Share thread, after each frame's buffer is queued (benchmarks, tests).
    using QueuedHook = void (*)(const FrameBuffer* frame, int64_t queuedNs);

    struct Stats {
        uint64_t queued = 0;    // frames that went out
        uint64_t noBuffer = 0;  // frames dropped: the consumers held every buffer
        uint64_t replaced = 0;  // frames a newer one overtook before the share thread ran
        int32_t width = 0, height = 0;  // the size offered now
        double soundWaitingMs = 0;      // sound kept behind the picture
        int64_t soundUnderruns = 0, soundAdjusted = 0;
    };

    PipeWireShare();
    ~PipeWireShare();
    PipeWireShare(const PipeWireShare&) = delete;
    PipeWireShare& operator=(const PipeWireShare&) = delete;

    // Starts the share thread; false (with the reason) when the client
    // library cannot run at all. The handler hears every state change.
    bool start(StateHandler handler, void* context, std::string* error);
    // Stops the share thread; the nodes go away. Also done by the destructor.
    void stop();

    // Any thread; no waiting.
    void setSharing(bool on);
    void setScale(int scale);
    void setQueuedHook(QueuedHook hook) { queuedHook_.store(hook); }
    QueuedHook queuedHook() const { return queuedHook_.load(std::memory_order_relaxed); }

    // UI thread, for each decoded frame: its picture and its sound.
    void offerFrame(FrameBuffer* frame);

    Stats stats() const;
    State state() const { return state_.load(); }

    struct Loop;  // the share thread's side (pipewire_share.cpp)

private:
    std::unique_ptr<Loop> loop_;
    std::atomic<State> state_{State::Starting};
    std::atomic<QueuedHook> queuedHook_{nullptr};
    // What was asked for before start(); the loop takes it over.
    std::atomic<bool> wantSharing_{false};
    std::atomic<int> wantScale_{1};
};
