#pragma once
// The capture source filter: the application offers decoded frames with
// pushFrame; the filter gives each a slot on the recording time line, queues
// it, and its streaming thread copies the recorded region of each queued frame
// into a bottom-up 24-bit RGB sample for the compressor.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/frame_buffer.h"
#include "record/recording.h"
#include "record/source_stream.h"

class DSFilter;

// The pin's property set for its category (capture).
enum class PropSet : int32_t { Pin, Other };
constexpr uint32_t AMPROPERTY_PIN_CATEGORY = 0;
// The 16-byte identifier of the capture pin category, as written by Get.
extern const uint8_t PIN_CATEGORY_CAPTURE[16];

// The frame-rate capabilities of the pin (only these fields are ever set).
struct VideoStreamConfigCaps {
    bool formatVideoInfo = false;
    int64_t MinFrameInterval = 0;
    int64_t MaxFrameInterval = 0;
};

constexpr int64_t kMinFrameInterval = 166666;  // 60 frames per second
constexpr int64_t kMaxFrameInterval = 666666;  // 15 frames per second

class CCapturePin final : public SourceStream {
public:
    CCapturePin(DSFilter* filter);
    ~CCapturePin() override;

    bool isCapturePin() const override { return true; }

    // Negotiation.
    HRESULT GetMediaType(int position, media::MediaType* type) override;
    HRESULT CheckMediaType(const media::MediaType* type) override;
    HRESULT SetMediaType(const media::MediaType* type) override;
    HRESULT DecideBufferSize(media::MemAllocator* allocator, media::AllocatorProperties* request) override;

    // Streaming thread.
    HRESULT OnThreadCreate() override;
    HRESULT OnThreadDestroy() override;
    HRESULT OnThreadStartPlay() override;
    HRESULT FillBuffer(media::MediaSample* sample) override;

    // Quality messages are not acted on.
    HRESULT Notify() { return E_FAIL; }

    // Property set: the pin's category.
    HRESULT Set(PropSet set, uint32_t id, const void* instance, uint32_t instanceSize, void* data,
                uint32_t dataSize);
    HRESULT Get(PropSet set, uint32_t id, const void* instance, uint32_t instanceSize, void* data,
                uint32_t dataSize, uint32_t* returned);
    HRESULT QuerySupported(PropSet set, uint32_t id, uint32_t* support);

    // Stream configuration: the frame rate.
    HRESULT SetFormat(const media::MediaType* type);
    HRESULT GetFormat(media::MediaType* type);
    HRESULT GetNumberOfCapabilities(int32_t* count, int32_t* size);
    HRESULT GetStreamCaps(int32_t index, media::MediaType* type, VideoStreamConfigCaps* caps);

    // The application's side (through DSFilter).
    HRESULT pushFrame(FrameBuffer* frame);
    HRESULT getStat(int32_t kind, int64_t* value);
    HRESULT setRegion(int32_t width, int32_t height, int32_t offset);
    HRESULT stop();

    int64_t frameDuration() const { return frameDuration_.load(std::memory_order_relaxed); }

    // The frames' sound (see media::FrameSound).
    SoundTap* openSoundTap();
    bool videoLead(int64_t* lead) const;

protected:
    void UnblockFill() override;

private:
    FrameBuffer* getNextFrame();
    HRESULT fillPositionZero(media::MediaType* type);
    void queueFrame(FrameBuffer* frame);
    void noteLead(int64_t lead);

    DSFilter* owner_;
    std::mutex pinLock_;  // held for the whole of each FillBuffer
    // Written by SetFormat/SetMediaType while stopped, read by both threads.
    std::atomic<int64_t> frameDuration_{kMinFrameInterval};
    // UI thread (pushFrame); reset by the streaming thread at start of play.
    std::atomic<int64_t> lastSlot_{0};
    // Streaming thread; read by getStat.
    std::atomic<int32_t> framesDelivered_{0};
    // UI thread; reset at start of play.
    std::atomic<int32_t> slotsSkipped_{0};
    std::atomic<int64_t> lastTimeStamp_{0};
    FrameQueue recordingQueue_;
    int32_t sampleBitDepth_ = 32;
    // Set while stopped, read by the streaming thread.
    std::atomic<int32_t> regionWidth_{0};
    std::atomic<int32_t> regionHeight_{0};
    std::atomic<int32_t> regionOffset_{0};
    std::atomic<bool> stopFlag_{false};
    // The frames' sound, when the recording takes it: made before the run.
    std::unique_ptr<SoundTap> soundTap_;
    // UI thread: how far the picture's slot lies from the arrival, averaged
    // over the first queued frames (the very first one always lands at 0)
    // and then kept, so that the sound's time line never wanders.
    int32_t leadFrames_ = 0;
    int64_t leadSum_ = 0;
    std::atomic<bool> leadKnown_{false};
    std::atomic<int64_t> lead_{0};
};

class DSFilter final : public SourceFilter, public IKestrelCaptureApp, public media::FrameSound {
public:
    // Makes the filter, applies settings.recordFps and prints its capabilities.
    // Null when it cannot be made.
    static std::shared_ptr<DSFilter> CreateInstance();
    // Test hook: the wait for a frame (750 ms normally).
    static void setFrameWaitForTesting(int milliseconds);

    DSFilter(HRESULT* result);
    ~DSFilter() override;

    std::string friendlyName() const override { return "Kestrel capture source"; }
    // Live source: paused reports that it cannot cue.
    HRESULT GetState(uint32_t timeoutMs, media::FilterState* state) override;

    HRESULT pushFrame(FrameBuffer* frame) override { return pin_->pushFrame(frame); }
    HRESULT getStat(int32_t kind, int64_t* value) override { return pin_->getStat(kind, value); }
    HRESULT setRegion(int32_t width, int32_t height, int32_t offset) override {
        return pin_->setRegion(width, height, offset);
    }
    HRESULT stop() override { return pin_->stop(); }

    CCapturePin* capturePin() { return pin_.get(); }

    SoundTap* openSoundTap() override { return pin_->openSoundTap(); }
    bool videoLead(int64_t* lead) const override { return pin_->videoLead(lead); }

private:
    std::unique_ptr<CCapturePin> pin_;
};
