#include "record/source_stream.h"

#include <pthread.h>

using media::AllocatorProperties;
using media::FilterState;
using media::MediaSample;
using media::MediaType;

// ---- SampleAllocator ----------------------------------------------------------

HRESULT SampleAllocator::SetProperties(const AllocatorProperties& request, AllocatorProperties* actual) {
    if (!actual) return E_POINTER;
    int32_t align = request.cbAlign < 1 ? 1 : request.cbAlign;
    if ((align & (align - 1)) != 0 || request.cBuffers < 1 || request.cbBuffer < 1 || request.cbPrefix < 0 ||
        request.cBuffers > 64 || request.cbBuffer > (1 << 28))
        return E_INVALIDARG;
    // Each buffer's data (after its prefix) starts on the alignment.
    size_t prefix = static_cast<size_t>(request.cbPrefix);
    size_t stride = (prefix + static_cast<size_t>(request.cbBuffer) + align - 1) / align * align;
    samples_.clear();
    try {
        storage_.assign(stride * request.cBuffers + align + prefix, 0);
    } catch (const std::bad_alloc&) {
        storage_.clear();
        return E_OUTOFMEMORY;
    }
    uintptr_t base = reinterpret_cast<uintptr_t>(storage_.data()) + prefix;
    base = (base + align - 1) / align * align;
    samples_.reserve(request.cBuffers);
    for (int32_t i = 0; i < request.cBuffers; ++i)
        samples_.emplace_back(reinterpret_cast<uint8_t*>(base + stride * i), request.cbBuffer);
    next_ = 0;
    *actual = request;
    actual->cbAlign = align;
    return S_OK;
}

MediaSample* SampleAllocator::GetBuffer() {
    if (samples_.empty()) return nullptr;
    MediaSample* sample = &samples_[next_];
    next_ = (next_ + 1) % samples_.size();
    sample->reset();
    return sample;
}

void SampleAllocator::free() {
    samples_.clear();
    storage_.clear();
    storage_.shrink_to_fit();
}

// ---- SourceFilter -------------------------------------------------------------

media::OutputPin* SourceFilter::pin(int index) {
    if (index < 0 || index >= pinCount()) return nullptr;
    return pins_[index];
}

HRESULT SourceFilter::Stop() {
    std::lock_guard lock(stateLock_);
    if (state() == FilterState::Stopped) return S_OK;
    HRESULT result = S_OK;
    for (SourceStream* p : pins_)
        if (p->isConnected()) {
            HRESULT hr = p->Inactive();
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
    state_.store(FilterState::Stopped, std::memory_order_release);
    return result;
}

HRESULT SourceFilter::Pause() {
    std::lock_guard lock(stateLock_);
    if (state() == FilterState::Stopped) {
        for (SourceStream* p : pins_)
            if (p->isConnected()) {
                HRESULT hr = p->Active();
                if (FAILED(hr)) {
                    for (SourceStream* q : pins_) q->Inactive();
                    return hr;
                }
            }
    }
    state_.store(FilterState::Paused, std::memory_order_release);
    return S_OK;
}

HRESULT SourceFilter::Run(int64_t tStart) {
    std::lock_guard lock(stateLock_);
    tStart_.store(tStart, std::memory_order_release);
    if (state() == FilterState::Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    state_.store(FilterState::Running, std::memory_order_release);
    return S_OK;
}

HRESULT SourceFilter::SetSyncSource(media::ReferenceClock* clock) {
    clock_.store(clock, std::memory_order_release);
    return S_OK;
}

HRESULT SourceFilter::GetState(uint32_t, FilterState* state) {
    if (!state) return E_POINTER;
    *state = this->state();
    return S_OK;
}

HRESULT SourceFilter::StreamTime(int64_t* t) {
    if (!t) return E_POINTER;
    media::ReferenceClock* clock = clock_.load(std::memory_order_acquire);
    if (!clock) return E_FAIL;
    *t = clock->GetTime() - tStart_.load(std::memory_order_acquire);
    return S_OK;
}

// ---- SourceStream -------------------------------------------------------------

SourceStream::SourceStream(SourceFilter* filter, const char* name) : filter_(filter), name_(name) {}

SourceStream::~SourceStream() {
    // The derived pin stops its thread first (its hooks are gone by now).
    if (thread_.joinable()) {
        {
            std::lock_guard lock(commandMutex_);
            command_ = Command::Exit;
        }
        commandChanged_.notify_all();
        thread_.join();
    }
}

HRESULT SourceStream::SetMediaType(const MediaType* type) {
    if (!type) return E_POINTER;
    mt_ = *type;
    return S_OK;
}

HRESULT SourceStream::Connect(media::SampleSink* sink) {
    if (!sink) return E_POINTER;
    std::lock_guard lock(filter_->stateLock());
    if (filter_->state() != FilterState::Stopped) return VFW_E_NOT_STOPPED;
    if (peer_) Disconnect();
    // Offer our types in order; the first both sides accept is the connection's.
    for (int position = 0;; ++position) {
        MediaType type;
        HRESULT hr = GetMediaType(position, &type);
        if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_NO_ACCEPTABLE_TYPES;
        if (CheckMediaType(&type) != S_OK || sink->CheckType(type) != S_OK) continue;
        hr = SetMediaType(&type);
        if (FAILED(hr)) return hr;
        AllocatorProperties request;
        hr = DecideBufferSize(&allocator_, &request);
        if (FAILED(hr)) {
            allocator_.free();
            return hr;
        }
        hr = sink->ReceiveConnection(mt_);
        if (FAILED(hr)) {
            allocator_.free();
            return hr;
        }
        peer_ = sink;
        return S_OK;
    }
}

HRESULT SourceStream::Disconnect() {
    std::lock_guard lock(filter_->stateLock());
    if (filter_->state() != FilterState::Stopped) return VFW_E_NOT_STOPPED;
    peer_ = nullptr;
    allocator_.free();
    return S_OK;
}

HRESULT SourceStream::Active() {
    if (!peer_) return VFW_E_NOT_CONNECTED;
    if (thread_.joinable()) return S_OK;
    {
        std::lock_guard lock(commandMutex_);
        command_ = Command::Play;
        started_ = false;
    }
    streamEnded_.store(false, std::memory_order_release);
    try {
        thread_ = std::thread([this] { threadProc(); });
    } catch (const std::system_error&) {
        return E_FAIL;
    }
    // Frames pushed after the state change must not meet the start-of-play
    // flush: wait until the thread is past it.
    std::unique_lock lock(commandMutex_);
    commandChanged_.wait(lock, [this] { return started_; });
    return S_OK;
}

HRESULT SourceStream::Inactive() {
    if (!thread_.joinable()) return S_OK;
    {
        std::lock_guard lock(commandMutex_);
        command_ = Command::Exit;
    }
    commandChanged_.notify_all();
    UnblockFill();
    thread_.join();
    return S_OK;
}

SourceStream::Command SourceStream::waitCommand() {
    std::unique_lock lock(commandMutex_);
    commandChanged_.wait(lock, [this] { return command_ != Command::None; });
    Command c = command_;
    if (c == Command::Play) command_ = Command::None;
    return c;
}

bool SourceStream::commandPending() {
    std::lock_guard lock(commandMutex_);
    return command_ != Command::None;
}

void SourceStream::threadProc() {
    pthread_setname_np(pthread_self(), "streaming");
    if (SUCCEEDED(OnThreadCreate())) {
        while (waitCommand() == Command::Play) doBufferProcessingLoop();
    }
    announceStart();  // also when the thread could not start playing
    OnThreadDestroy();
}

void SourceStream::announceStart() {
    {
        std::lock_guard lock(commandMutex_);
        started_ = true;
    }
    commandChanged_.notify_all();
}

HRESULT SourceStream::doBufferProcessingLoop() {
    OnThreadStartPlay();
    announceStart();
    while (!commandPending()) {
        MediaSample* sample = allocator_.GetBuffer();
        HRESULT hr = sample ? FillBuffer(sample) : E_FAIL;
        if (hr == S_OK) hr = peer_->Receive(*sample);
        if (hr != S_OK) {
            // S_FALSE from FillBuffer is the normal end; anything else is a
            // failure that also ends the stream (the sink records why).
            streamEnded_.store(true, std::memory_order_release);
            peer_->EndOfStream();
            return FAILED(hr) ? hr : S_OK;
        }
    }
    return S_OK;
}
