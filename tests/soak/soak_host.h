#pragma once
// The soak's stand-in for the user interface: a thread that receives the
// reader's frames and the board's arrivals the way the control window does
// (queued to one thread), and holds frames the way the application's
// consumers do:
//  - screen windows: each keeps the newest frame until the next replaces it;
//    split toggles switch between one and two windows and close them;
//  - snapshots: a reference handed to a short-lived save thread;
//  - recordings: frames queued at the recording's frame rate to a streaming
//    thread that copies each one and lets it go, now and then stalling as a
//    slow encoder does, so that the reader runs out of buffers.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/capture_core.h"
#include "core/frame_buffer.h"

namespace soak {

using Clock = std::chrono::steady_clock;

class ConsumerHost final : public CoreHost {
public:
    explicit ConsumerHost(uint32_t seed);
    ~ConsumerHost() override;

    // CoreHost.
    bool postFrameReady(FrameBuffer* frame) override;
    int runFirmwareUpdate() override { return 1; }
    void postClose() override { closeRequests.fetch_add(1); }
    void postDeviceArrival(const usb::Guid& interfaceClass) override;

    // The UI thread; stop() lets every held frame go and waits for the save
    // and streaming threads.
    void start();
    void stop();

    // Resume measurement: a replug at `at`; the next good frame after it ends the wait.
    void expectResume(Clock::time_point at);
    bool resumePending() const { return resumePending_.load(); }
    std::vector<double> resumeMilliseconds();

    // Frames as they were handed over.
    std::atomic<uint64_t> framesOk{0};
    std::atomic<uint64_t> framesError{0};
    std::atomic<uint64_t> framesBadStatus{0};   // a status the reader never posts
    std::atomic<uint64_t> framesBadAudio{0};    // sound length odd or past the storage
    std::atomic<uint64_t> framesNotFromPool{0};
    std::atomic<uint64_t> framesStillHeld{0};   // handed over while someone held it
    std::atomic<uint64_t> arrivals{0};
    std::atomic<uint64_t> closeRequests{0};
    // Consumers.
    std::atomic<uint64_t> snapshots{0};
    std::atomic<uint64_t> recordings{0};
    std::atomic<uint64_t> recordedFrames{0};
    std::atomic<uint64_t> encoderStalls{0};
    std::atomic<uint64_t> splitToggles{0};

private:
    struct Message {
        FrameBuffer* frame;  // null: an arrival
        usb::Guid interfaceClass;
    };
    void uiLoop();
    void dispatch(FrameBuffer* frame);
    void setWindows(int count);
    void startRecording();
    void stopRecording();
    void streamLoop();
    void snapshot(FrameBuffer* frame);

    std::mt19937 random_;  // UI thread
    std::mutex mutex_;     // guards messages_, stopping_
    std::condition_variable wake_;
    std::deque<Message> messages_;
    bool stopping_ = false;
    std::thread ui_;

    // UI thread state.
    FrameBuffer* windows_[2] = {nullptr, nullptr};
    int windowCount_ = 2;
    Clock::time_point nextToggle_{}, nextSnapshot_{}, nextRecordingEdge_{};
    bool recording_ = false;
    Clock::time_point recordingStart_{};
    int64_t lastSlot_ = -1;

    // The recording's streaming thread.
    FrameQueue recordingQueue_;
    std::thread streaming_;
    std::vector<uint8_t> sample_;
    std::atomic<bool> streamStop_{false};

    std::atomic<int> savesRunning_{0};

    std::mutex resumeMutex_;  // guards resumeFrom_, resumes_
    Clock::time_point resumeFrom_{};
    std::atomic<bool> resumePending_{false};
    std::vector<double> resumes_;
};

}  // namespace soak
