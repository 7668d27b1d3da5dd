#pragma once
// A CoreHost for the capture core's tests: records every frame handed over
// and either gives it straight back (as the dispatch does with no window
// open), keeps it, or refuses it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "core/capture_core.h"
#include "core/frame_buffer.h"

class TestHost : public CoreHost {
public:
    enum class Mode { Release, Hold, Refuse };
    struct Delivered {
        FrameBuffer* frame;
        int32_t status;
        int32_t audioLength;
        bool black;  // the first 518400 bytes are all zero (checked for the first 32 frames)
        std::chrono::steady_clock::time_point at;
    };

    std::atomic<Mode> mode{Mode::Release};
    std::atomic<int> firmwareResult{1};
    std::atomic<int> firmwareRuns{0};
    std::atomic<int> closeRequests{0};
    std::atomic<int> arrivals{0};
    std::atomic<bool> arrivalsReachCore{true};  // call deviceArrival at once, on the backend's thread
    // Runs on the reader thread for each frame, before the frame is handled.
    std::function<void(FrameBuffer*)> onFrame;

    bool postFrameReady(FrameBuffer* frame) override;
    int runFirmwareUpdate() override;
    void postClose() override { ++closeRequests; }
    void postDeviceArrival(const usb::Guid& interfaceClass) override;

    // Waits until at least n frames were offered (default 5 s).
    bool waitFrames(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    bool waitHeld(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    std::vector<Delivered> frames();
    size_t frameCount();
    // Gives back every frame kept in Hold mode.
    void releaseHeld(size_t keep = 0);
    size_t heldCount();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivered> frames_;
    std::vector<FrameBuffer*> held_;
};
