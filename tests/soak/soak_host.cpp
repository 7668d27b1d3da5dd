#include "soak_host.h"

#include <algorithm>
#include <cstring>

#include "core/capture_core.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

bool fromPool(const FrameBuffer* frame) {
    return frame >= framePool.buffers && frame < framePool.buffers + kPoolSize;
}

int32_t refCountOf(FrameBuffer* frame) {
    std::lock_guard<std::mutex> lock(frame->mutex);
    return frame->refCount;
}

template <class Rep, class Period>
Clock::duration between(std::mt19937& random, std::chrono::duration<Rep, Period> low,
                        std::chrono::duration<Rep, Period> high) {
    std::uniform_int_distribution<int64_t> pick(std::chrono::duration_cast<std::chrono::microseconds>(low).count(),
                                                std::chrono::duration_cast<std::chrono::microseconds>(high).count());
    return std::chrono::microseconds(pick(random));
}

constexpr int64_t kRecordingSlotUs = 33333;  // a 30 frames per second recording
constexpr uint32_t kMaxAudioBytes = kVideoStorageAllocBytes - kFrameVideoBytes;

}  // namespace

ConsumerHost::ConsumerHost(uint32_t seed) : random_(seed), sample_(kFrameVideoBytes) {}

ConsumerHost::~ConsumerHost() { stop(); }

void ConsumerHost::start() {
    const auto now = Clock::now();
    nextToggle_ = now + 5s;
    nextSnapshot_ = now + 2s;
    nextRecordingEdge_ = now + 10s;
    ui_ = std::thread([this] { uiLoop(); });
}

void ConsumerHost::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ && !ui_.joinable()) return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (ui_.joinable()) ui_.join();
}

bool ConsumerHost::postFrameReady(FrameBuffer* frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;  // as a window that is gone: the reader keeps it
        messages_.push_back({frame, {}});
    }
    wake_.notify_one();
    return true;
}

void ConsumerHost::postDeviceArrival(const usb::Guid& interfaceClass) {
    arrivals.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        messages_.push_back({nullptr, interfaceClass});
    }
    wake_.notify_one();
}

void ConsumerHost::expectResume(Clock::time_point at) {
    std::lock_guard<std::mutex> lock(resumeMutex_);
    resumeFrom_ = at;
    resumePending_ = true;
}

std::vector<double> ConsumerHost::resumeMilliseconds() {
    std::lock_guard<std::mutex> lock(resumeMutex_);
    return resumes_;
}

void ConsumerHost::uiLoop() {
    for (;;) {
        Message message;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !messages_.empty(); });
            if (messages_.empty()) break;  // stopping, nothing left to hand back
            message = messages_.front();
            messages_.pop_front();
        }
        if (message.frame)
            dispatch(message.frame);
        else
            deviceArrival(message.interfaceClass);
    }
    // Shutdown: everything the consumers hold goes back.
    if (recording_) stopRecording();
    setWindows(0);
    while (savesRunning_.load() > 0) std::this_thread::sleep_for(5ms);
}

void ConsumerHost::dispatch(FrameBuffer* frame) {
    if (!fromPool(frame)) {
        framesNotFromPool.fetch_add(1);
        return;
    }
    // The reader hands over a buffer nobody holds; a reference left on it
    // means it sat in the free queue while still in use.
    if (refCountOf(frame) != 0) framesStillHeld.fetch_add(1);
    if (frame->status == FRAME_OK)
        framesOk.fetch_add(1);
    else if (frame->status == FRAME_ERROR)
        framesError.fetch_add(1);
    else
        framesBadStatus.fetch_add(1);
    if (frame->audioLength < 0 || frame->audioLength % 4 != 0 || uint32_t(frame->audioLength) > kMaxAudioBytes)
        framesBadAudio.fetch_add(1);

    const auto now = Clock::now();
    if (frame->status == FRAME_OK && resumePending_.load()) {
        std::lock_guard<std::mutex> lock(resumeMutex_);
        if (resumePending_.load()) {
            resumes_.push_back(std::chrono::duration<double, std::milli>(now - resumeFrom_).count());
            resumePending_ = false;
        }
    }

    // The user's actions, at random moments.
    if (now >= nextToggle_) {
        splitToggles.fetch_add(1);
        setWindows(windowCount_ == 2 ? 1 : 2);
        nextToggle_ = now + between(random_, 2s, 12s);
    }
    if (now >= nextRecordingEdge_) {
        if (recording_) {
            stopRecording();
            nextRecordingEdge_ = now + between(random_, 5s, 30s);
        } else {
            startRecording();
            nextRecordingEdge_ = now + between(random_, 5s, 20s);
        }
    }

    addRef(frame);  // the UI thread's reference
    if (recording_) {
        const int64_t slot = std::chrono::duration_cast<std::chrono::microseconds>(now - recordingStart_).count() /
                             kRecordingSlotUs;
        if (slot > lastSlot_) {
            lastSlot_ = slot;
            addRef(frame);
            recordingQueue_.push(frame);
        }
    }
    if (now >= nextSnapshot_) {
        snapshot(frame);
        nextSnapshot_ = now + between(random_, 500ms, 6000ms);
    }
    // The windows take over the UI thread's reference (the second one its own).
    if (windowCount_ == 0) {
        release(frame);
        return;
    }
    for (int i = 0; i < windowCount_; ++i) {
        if (i > 0) addRef(frame);
        FrameBuffer* previous = windows_[i];
        windows_[i] = frame;
        if (previous) release(previous);
    }
}

void ConsumerHost::setWindows(int count) {
    for (int i = count; i < 2; ++i) {
        if (windows_[i]) release(windows_[i]);
        windows_[i] = nullptr;
    }
    windowCount_ = count;
}

void ConsumerHost::snapshot(FrameBuffer* frame) {
    snapshots.fetch_add(1);
    addRef(frame);
    const auto hold = between(random_, 5ms, 300ms);
    savesRunning_.fetch_add(1);
    std::thread([this, frame, hold] {
        // Reads the picture while it holds the frame, as the PNG writer does.
        volatile uint32_t sum = 0;
        for (uint32_t i = 0; i < kFrameVideoBytes; i += 4096) sum = sum + frame->videoStorage[i];
        std::this_thread::sleep_for(hold);
        release(frame);
        savesRunning_.fetch_sub(1);
    }).detach();
}

void ConsumerHost::startRecording() {
    recordings.fetch_add(1);
    recording_ = true;
    recordingStart_ = Clock::now();
    lastSlot_ = -1;
    streamStop_ = false;
    streaming_ = std::thread([this] { streamLoop(); });
}

void ConsumerHost::stopRecording() {
    recording_ = false;
    streamStop_ = true;
    recordingQueue_.push(nullptr);  // the end of the stream
    streaming_.join();
    drainQueue(recordingQueue_);
}

void ConsumerHost::streamLoop() {
    std::mt19937 random(random_());
    std::uniform_int_distribution<int> stall(0, 299);
    for (;;) {
        if (!recordingQueue_.semaphore.try_acquire_for(750ms)) {
            if (streamStop_.load()) return;
            continue;
        }
        FrameBuffer* frame = recordingQueue_.pop();
        if (!frame) return;
        std::memcpy(sample_.data(), frame->videoStorage, kFrameVideoBytes);
        if (stall(random) == 0) {
            // A slow encoder: the held frames starve the reader for a while.
            encoderStalls.fetch_add(1);
            std::this_thread::sleep_for(between(random, 300ms, 900ms));
        } else {
            std::this_thread::sleep_for(between(random, 1ms, 25ms));
        }
        recordedFrames.fetch_add(1);
        release(frame);
    }
}

}  // namespace soak
