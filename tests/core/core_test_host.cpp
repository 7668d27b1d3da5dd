#include "core_test_host.h"

#include <algorithm>

bool TestHost::postFrameReady(FrameBuffer* frame) {
    if (onFrame) onFrame(frame);
    const Mode now = mode.load();
    bool black = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (frames_.size() < 32)
            black = std::all_of(frame->videoStorage, frame->videoStorage + kFrameVideoBytes,
                                [](uint8_t b) { return b == 0; });
        frames_.push_back({frame, frame->status, frame->audioLength, black, std::chrono::steady_clock::now()});
        if (now == Mode::Hold) {
            addRef(frame);
            held_.push_back(frame);
        }
    }
    changed_.notify_all();
    if (now == Mode::Refuse) return false;
    if (now == Mode::Release) {
        addRef(frame);  // the dispatch's reference, given back as no window takes it
        release(frame);
    }
    return true;
}

int TestHost::runFirmwareUpdate() {
    ++firmwareRuns;
    return firmwareResult.load();
}

void TestHost::postDeviceArrival(const usb::Guid& interfaceClass) {
    ++arrivals;
    if (arrivalsReachCore) deviceArrival(interfaceClass);
}

bool TestHost::waitFrames(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= n; });
}

bool TestHost::waitHeld(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return held_.size() >= n; });
}

std::vector<TestHost::Delivered> TestHost::frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

size_t TestHost::frameCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

void TestHost::releaseHeld(size_t keep) {
    std::vector<FrameBuffer*> give;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (held_.size() > keep) {
            give.push_back(held_.back());
            held_.pop_back();
        }
    }
    for (FrameBuffer* frame : give) release(frame);
}

size_t TestHost::heldCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
}
