#include "record/capture_filter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "base/debug_log.h"

using media::FilterState;
using media::MediaSample;
using media::MediaType;

namespace {

std::atomic<int> frameWaitMs{750};

}  // namespace

// ---- CCapturePin: construction ------------------------------------------------

CCapturePin::CCapturePin(DSFilter* filter) : SourceStream(filter, "Out"), owner_(filter) {
    debugPrintf("CCapturePin::CCapturePin\n");
}

CCapturePin::~CCapturePin() {
    debugPrintf("CCapturePin::~CCapturePin\n");
    // The streaming thread calls into this object: end it before the members go.
    Inactive();
    drainQueue(recordingQueue_);
}

// ---- The application's side ----------------------------------------------------------

void CCapturePin::queueFrame(FrameBuffer* frame) {
    recordingQueue_.push(frame);
}

HRESULT CCapturePin::pushFrame(FrameBuffer* frame) {
    // A stream that already ended (normally or by a failure downstream) takes
    // nothing more: queued frames would stay out of the pool until the stop.
    if (!frame || owner_->state() == FilterState::Stopped || streamEnded()) return E_FAIL;
    int64_t t = 0;
    owner_->StreamTime(&t);
    // Every frame's sound counts, also that of a frame whose slot is taken.
    if (soundTap_) soundTap_->push(frame->audioData, frame->audioLength, t);
    int64_t duration = frameDuration();
    int64_t n = t / duration;
    int64_t last = lastSlot_.load(std::memory_order_relaxed);
    if (n < last) return S_OK;
    int64_t slot = n - 1 > last ? n - 1 : last + 1;
    frame->presentationTime = slot * duration;
    noteLead(slot * duration - t);
    lastTimeStamp_.store(slot * duration, std::memory_order_relaxed);
    slotsSkipped_.store(slotsSkipped_.load(std::memory_order_relaxed) + static_cast<int32_t>(slot - last - 1),
                        std::memory_order_relaxed);
    lastSlot_.store(slot, std::memory_order_relaxed);
    addRef(frame);
    queueFrame(frame);
    return S_OK;
}

void CCapturePin::noteLead(int64_t lead) {
    constexpr int32_t kLeadFrames = 8;
    if (leadKnown_.load(std::memory_order_relaxed)) return;
    // The first queued frame is delivered at time 0 whatever its slot.
    if (leadFrames_++ == 0) return;
    leadSum_ += lead;
    if (leadFrames_ - 1 < kLeadFrames) return;
    lead_.store(leadSum_ / kLeadFrames, std::memory_order_relaxed);
    leadKnown_.store(true, std::memory_order_release);
}

SoundTap* CCapturePin::openSoundTap() {
    if (!soundTap_) soundTap_.reset(new (std::nothrow) SoundTap);
    return soundTap_.get();
}

bool CCapturePin::videoLead(int64_t* lead) const {
    if (!leadKnown_.load(std::memory_order_acquire)) return false;
    *lead = lead_.load(std::memory_order_relaxed);
    return true;
}

HRESULT CCapturePin::getStat(int32_t kind, int64_t* value) {
    if (!value) return E_POINTER;
    switch (kind) {
        case kStatFramesDelivered: *value = framesDelivered_.load(std::memory_order_relaxed); break;
        case kStatSlotsSkipped: *value = slotsSkipped_.load(std::memory_order_relaxed); break;
        case kStatStreamTime: *value = lastTimeStamp_.load(std::memory_order_relaxed); break;
        default: break;
    }
    return S_OK;
}

HRESULT CCapturePin::setRegion(int32_t width, int32_t height, int32_t offset) {
    if (owner_->state() != FilterState::Stopped || offset < 0 || width <= 0 || height <= 0) return E_FAIL;
    regionWidth_.store(width);
    regionHeight_.store(height);
    regionOffset_.store(offset);
    return S_OK;
}

HRESULT CCapturePin::stop() {
    debugPrintf("%s\n", "CCapturePin::stop");
    // One end marker per stream: a second one could overflow the queue, which
    // holds exactly the pool's buffers and one marker.
    if (stopFlag_.exchange(true)) return S_OK;
    queueFrame(nullptr);
    return S_OK;
}

void CCapturePin::UnblockFill() {
    if (!stopFlag_.load()) stop();
}

// ---- Streaming thread -------------------------------------------------------------

HRESULT CCapturePin::OnThreadCreate() {
    debugPrintf("CCapturePin::OnThreadCreate\n");
    return S_OK;
}

HRESULT CCapturePin::OnThreadDestroy() {
    debugPrintf("CCapturePin::OnThreadDestroy\n");
    drainQueue(recordingQueue_);
    return S_OK;
}

HRESULT CCapturePin::OnThreadStartPlay() {
    debugPrintf("CCapturePin::OnThreadStartPlay\n");
    lastSlot_.store(0);
    framesDelivered_.store(0);
    slotsSkipped_.store(0);
    leadFrames_ = 0;
    leadSum_ = 0;
    leadKnown_.store(false);
    drainQueue(recordingQueue_);
    // After the flush: a stop that raced with the start keeps its marker
    // only if it came later.
    stopFlag_.store(false);
    return S_OK;
}

FrameBuffer* CCapturePin::getNextFrame() {
    for (;;) {
        auto wait = std::chrono::milliseconds(frameWaitMs.load(std::memory_order_relaxed));
        if (recordingQueue_.semaphore.try_acquire_for(wait)) return recordingQueue_.pop();
        debugPrintf("%s starved\n", "CCapturePin::getNextFrame");
        if (stopFlag_.load()) return nullptr;
    }
}

HRESULT CCapturePin::FillBuffer(MediaSample* sample) {
    if (!sample) return E_POINTER;
    std::lock_guard lock(pinLock_);
    FrameBuffer* frame = getNextFrame();
    if (!frame) {
        debugPrintf("getNextFrame timed out or stop requested, stopping AVI\n");
        return S_FALSE;
    }
    uint8_t* out = nullptr;
    sample->GetPointer(&out);
    const int32_t width = regionWidth_.load();
    const int32_t height = regionHeight_.load();
    const int32_t offset = regionOffset_.load();
    const int64_t rowLength = frame->layout.imageWidth;
    const int64_t pixels = rowLength * frame->layout.imageHeight;
    const int64_t bytes = int64_t{width} * height * 3;
    // The region must lie inside this frame's image and the sample; otherwise
    // the sample goes out black rather than reading or writing out of bounds.
    bool inside = frame->displayImage && rowLength >= width &&
                  offset + (int64_t{height} - 1) * rowLength + width <= pixels && bytes <= sample->GetSize();
    if (inside) {
        for (int32_t r = height - 1; r >= 0; --r) {
            const uint32_t* in = frame->displayImage + r * rowLength + offset;
            for (int32_t x = 0; x < width; ++x) {
                uint32_t p = in[x];
                out[0] = static_cast<uint8_t>(p);
                out[1] = static_cast<uint8_t>(p >> 8);
                out[2] = static_cast<uint8_t>(p >> 16);
                out += 3;
            }
        }
    } else if (out) {
        std::memset(out, 0, static_cast<size_t>(std::min<int64_t>(bytes, sample->GetSize())));
    }
    int64_t start = framesDelivered_.load() == 0 ? 0 : frame->presentationTime;
    int64_t end = start + frameDuration();
    sample->SetTime(&start, &end);
    sample->SetSyncPoint(true);
    framesDelivered_.fetch_add(1);
    release(frame);
    return S_OK;
}

// ---- DSFilter -----------------------------------------------------------------

DSFilter::DSFilter(HRESULT* result) {
    pin_.reset(new (std::nothrow) CCapturePin(this));
    if (!pin_) {
        if (result) *result = E_OUTOFMEMORY;
        return;
    }
    addPin(pin_.get());
}

DSFilter::~DSFilter() = default;

void DSFilter::setFrameWaitForTesting(int milliseconds) { frameWaitMs.store(milliseconds); }

HRESULT DSFilter::GetState(uint32_t, FilterState* state) {
    if (!state) return E_POINTER;
    *state = this->state();
    return *state == FilterState::Paused ? VFW_S_CANT_CUE : S_OK;
}
