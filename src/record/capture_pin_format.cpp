// What the capture pin offers and accepts: its one media type (the recorded
// region as bottom-up 24-bit RGB), the allocator's buffers, the pin's
// category and the frame-rate range; and the filter's making, which sets the
// recording's frame rate.
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "base/debug_log.h"
#include "record/capture_filter.h"
#include "settings/settings.h"

using media::AllocatorProperties;
using media::FilterState;
using media::MediaType;

const uint8_t PIN_CATEGORY_CAPTURE[16] = {0x81, 0x42, 0x6C, 0xFB, 0x53, 0x03, 0xD1, 0x11,
                                          0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA};

namespace {

bool frameIntervalAllowed(int64_t interval) {
    return (static_cast<uint64_t>(interval) >> 32) == 0 && interval >= kMinFrameInterval &&
           interval <= kMaxFrameInterval;
}

}  // namespace

// ---- Media types ----------------------------------------------------------------

HRESULT CCapturePin::fillPositionZero(MediaType* type) {
    type->clear();
    type->hasFormat = true;
    media::VideoInfoHeader& vih = type->format;
    media::BitmapInfoHeader& bmi = vih.bmiHeader;
    bmi.biSize = 40;
    bmi.biWidth = regionWidth_.load();
    bmi.biHeight = regionHeight_.load();
    bmi.biPlanes = 1;
    bmi.biBitCount = 24;
    bmi.biCompression = 0;
    bmi.biSizeImage = static_cast<uint32_t>(((bmi.biBitCount * bmi.biWidth + 31) >> 5) * 4 *
                                            std::abs(bmi.biHeight));
    vih.AvgTimePerFrame = frameDuration();
    uint64_t product = static_cast<uint64_t>(bmi.biSizeImage) * 80000000u;
    vih.dwBitRate = static_cast<uint32_t>(static_cast<int64_t>(product) / vih.AvgTimePerFrame);
    type->majortype = media::MajorType::Video;
    type->subtype = media::SubType::RGB24;
    type->bFixedSizeSamples = true;
    type->bTemporalCompression = false;
    type->lSampleSize = bmi.biSizeImage;
    type->formattype = media::FormatType::VideoInfo;
    return S_OK;
}

HRESULT CCapturePin::GetMediaType(int position, MediaType* type) {
    std::lock_guard lock(owner_->stateLock());
    if (!type) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    return fillPositionZero(type);
}

HRESULT CCapturePin::CheckMediaType(const MediaType* type) {
    std::lock_guard lock(owner_->stateLock());
    if (!type) return E_POINTER;
    const media::VideoInfoHeader* vih = type->videoInfo();
    if (type->majortype != media::MajorType::Video || !type->bFixedSizeSamples ||
        type->subtype != media::SubType::RGB24 || !vih)
        return E_INVALIDARG;
    if (vih->bmiHeader.biWidth != regionWidth_.load() || vih->bmiHeader.biHeight != regionHeight_.load())
        return E_INVALIDARG;
    if (!frameIntervalAllowed(vih->AvgTimePerFrame) || !vih->rcTarget.empty()) return E_INVALIDARG;
    return S_OK;
}

HRESULT CCapturePin::SetMediaType(const MediaType* type) {
    std::lock_guard lock(owner_->stateLock());
    HRESULT hr = SourceStream::SetMediaType(type);
    if (FAILED(hr)) return hr;
    const media::VideoInfoHeader* vih = mt_.videoInfo();
    if (!vih) return E_UNEXPECTED;
    // A type that skipped CheckMediaType could carry no usable duration.
    if (vih->AvgTimePerFrame <= 0) return E_INVALIDARG;
    frameDuration_.store(vih->AvgTimePerFrame);
    debugPrintf("SetMediaType: %f framerate selected\n", 10000000.0 / static_cast<double>(vih->AvgTimePerFrame));
    int bits = vih->bmiHeader.biBitCount;
    if (bits != 24 && bits != 32) return E_INVALIDARG;
    sampleBitDepth_ = bits;
    return S_OK;
}

HRESULT CCapturePin::DecideBufferSize(media::MemAllocator* allocator, AllocatorProperties* request) {
    std::lock_guard lock(owner_->stateLock());
    if (!allocator || !request) return E_POINTER;
    const media::VideoInfoHeader* vih = mt_.videoInfo();
    if (!vih) return E_UNEXPECTED;
    if (request->cBuffers < 8) request->cBuffers = 8;
    request->cbBuffer = static_cast<int32_t>(vih->bmiHeader.biSizeImage);
    if (request->cbAlign < 4) request->cbAlign = 4;
    request->cbPrefix = 16;
    AllocatorProperties actual;
    HRESULT hr = allocator->SetProperties(*request, &actual);
    if (FAILED(hr)) return hr;
    if (actual.cbBuffer < request->cbBuffer || actual.cbPrefix != 16 || actual.cBuffers < 1) return E_FAIL;
    return S_OK;
}

// ---- Property set -----------------------------------------------------------------

HRESULT CCapturePin::Set(PropSet, uint32_t, const void*, uint32_t, void*, uint32_t) { return E_NOTIMPL; }

HRESULT CCapturePin::Get(PropSet set, uint32_t id, const void*, uint32_t, void* data, uint32_t dataSize,
                         uint32_t* returned) {
    if (set != PropSet::Pin) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (!data && !returned) return E_POINTER;
    if (returned) *returned = sizeof PIN_CATEGORY_CAPTURE;
    if (!data) return S_OK;
    if (dataSize < sizeof PIN_CATEGORY_CAPTURE) return E_UNEXPECTED;
    std::memcpy(data, PIN_CATEGORY_CAPTURE, sizeof PIN_CATEGORY_CAPTURE);
    return S_OK;
}

HRESULT CCapturePin::QuerySupported(PropSet set, uint32_t id, uint32_t* support) {
    if (set != PropSet::Pin) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (support) *support = 1;  // get supported
    return S_OK;
}

// ---- Stream configuration ---------------------------------------------------------

HRESULT CCapturePin::GetNumberOfCapabilities(int32_t* count, int32_t* size) {
    if (!count || !size) return E_POINTER;
    *count = 1;
    *size = 128;
    return S_OK;
}

HRESULT CCapturePin::GetStreamCaps(int32_t index, MediaType* type, VideoStreamConfigCaps* caps) {
    if (!type || !caps) return E_POINTER;
    if (index < 0) return E_INVALIDARG;
    if (index > 0) return S_FALSE;
    *caps = VideoStreamConfigCaps{};
    caps->formatVideoInfo = true;
    caps->MinFrameInterval = kMinFrameInterval;
    caps->MaxFrameInterval = kMaxFrameInterval;
    return fillPositionZero(type);
}

HRESULT CCapturePin::GetFormat(MediaType* type) {
    if (!type) return E_POINTER;
    VideoStreamConfigCaps caps;
    HRESULT hr = GetStreamCaps(0, type, &caps);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CCapturePin::SetFormat(const MediaType* type) {
    if (!type) return E_POINTER;
    if (owner_->state() != FilterState::Stopped) return VFW_E_NOT_STOPPED;
    const media::VideoInfoHeader* vih = type->videoInfo();
    if (!vih || !frameIntervalAllowed(vih->AvgTimePerFrame)) return VFW_E_INVALIDMEDIATYPE;
    frameDuration_.store(vih->AvgTimePerFrame);
    debugPrintf("SetFormat: %f fps\n", 10000000.0 / static_cast<double>(vih->AvgTimePerFrame));
    return S_OK;
}

// ---- Making the filter ------------------------------------------------------------

std::shared_ptr<DSFilter> DSFilter::CreateInstance() {
    debugPrintf("DSFilter::CreateInstance\n");
    HRESULT hr = S_OK;
    std::shared_ptr<DSFilter> filter;
    try {
        filter = std::make_shared<DSFilter>(&hr);
    } catch (const std::bad_alloc&) {
    }
    if (!filter || FAILED(hr)) {
        debugPrintf("Couldn't get capture filter.\n");
        return nullptr;
    }
    CCapturePin* pin = filter->capturePin();

    MediaType type;
    VideoStreamConfigCaps caps;
    if (pin->GetStreamCaps(0, &type, &caps) == S_OK) {
        double interval = 10000000.0 / static_cast<double>(static_cast<uint32_t>(settings.recordFps));
        // 0 frames per second gives no usable interval: SetFormat refuses it.
        type.format.AvgTimePerFrame = interval < 9.0e18 ? static_cast<int64_t>(interval) : -1;
        pin->SetFormat(&type);
    }

    int32_t count = 0, size = 0;
    if (pin->GetNumberOfCapabilities(&count, &size) == S_OK) {
        for (int32_t i = 0; i < count; ++i) {
            if (pin->GetStreamCaps(i, &type, &caps) != S_OK) continue;
            const media::VideoInfoHeader& v = type.format;
            debugPrintf("[%d] FPS=(%.2f-%.2f, current=%.2f) src=%d,%d %d,%d tgt=%d,%d %d,%d rez=%dx%d bpp=%d\n", i,
                        10000000.0 / static_cast<double>(caps.MaxFrameInterval),
                        10000000.0 / static_cast<double>(caps.MinFrameInterval),
                        10000000.0 / static_cast<double>(v.AvgTimePerFrame), v.rcSource.left, v.rcSource.right,
                        v.rcSource.top, v.rcSource.bottom, v.rcTarget.left, v.rcTarget.right, v.rcTarget.top,
                        v.rcTarget.bottom, v.bmiHeader.biWidth, v.bmiHeader.biHeight, v.bmiHeader.biBitCount);
        }
    }
    return filter;
}
