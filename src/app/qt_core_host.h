#pragma once
// The capture core's view of the Qt user interface: everything it hands to
// the UI thread goes there as a queued call on the control window.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/capture_core.h"

class ControlWindow;

class QtCoreHost : public CoreHost {
public:
    // The window receives the calls until detach(); it must outlive the
    // reader thread's last post (the application stops the core first).
    void attach(ControlWindow* window) { window_.store(window); }
    void detach() { window_.store(nullptr); }
    ControlWindow* window() const { return window_.load(); }

    bool postFrameReady(FrameBuffer* frame) override;
    int runFirmwareUpdate() override;
    void postClose() override;
    void postDeviceArrival(const usb::Guid& interfaceClass) override;
    void postBoardLeft() override;

    // When the reader thread handed each pool buffer over last (steady
    // clock, nanoseconds): the start of a frame's way to the screen.
    int64_t postedAt(const FrameBuffer* frame) const;

private:
    std::atomic<ControlWindow*> window_{nullptr};
    std::atomic<int64_t> postedAt_[kPoolSize] = {};
};
