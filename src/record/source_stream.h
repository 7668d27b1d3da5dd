#pragma once
// The framework under a push source: filter state and stream time, the
// output pin's connection (type negotiation and buffers), and the streaming
// thread that fills samples and hands them downstream until the stream ends.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "record/media.h"

class SourceStream;

// The buffers of one connection, allocated once when it is made.
class SampleAllocator : public media::MemAllocator {
public:
    HRESULT SetProperties(const media::AllocatorProperties& request,
                          media::AllocatorProperties* actual) override;
    // Streaming thread: the next buffer, round robin (delivery is synchronous,
    // so a buffer is free again when the next one is taken).
    media::MediaSample* GetBuffer();
    void free();

private:
    std::vector<uint8_t> storage_;
    std::vector<media::MediaSample> samples_;
    size_t next_ = 0;
};

// A filter with output pins that push: its state, the clock and stream time.
class SourceFilter : public media::Filter {
public:
    SourceFilter() = default;
    ~SourceFilter() override = default;

    media::Category category() const override { return media::Category::Source; }
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(int64_t tStart) override;
    HRESULT SetSyncSource(media::ReferenceClock* clock) override;
    virtual HRESULT GetState(uint32_t timeoutMs, media::FilterState* state);
    // Clock time minus the run's start time; E_FAIL (t untouched) without a clock.
    HRESULT StreamTime(int64_t* t);

    int pinCount() override { return static_cast<int>(pins_.size()); }
    media::OutputPin* pin(int index) override;

    media::FilterState state() const { return state_.load(std::memory_order_acquire); }
    // Held by state changes and by media type negotiation.
    std::recursive_mutex& stateLock() { return stateLock_; }

protected:
    void addPin(SourceStream* pin) { pins_.push_back(pin); }

private:
    std::recursive_mutex stateLock_;
    std::atomic<media::FilterState> state_{media::FilterState::Stopped};
    std::atomic<media::ReferenceClock*> clock_{nullptr};
    std::atomic<int64_t> tStart_{0};
    std::vector<SourceStream*> pins_;  // owned by the derived filter
};

// An output pin with its own streaming thread.
class SourceStream : public media::OutputPin {
public:
    SourceStream(SourceFilter* filter, const char* name);
    ~SourceStream() override;
    SourceStream(const SourceStream&) = delete;
    SourceStream& operator=(const SourceStream&) = delete;

    const char* name() const { return name_; }

    // Connection (called under the filter's state lock).
    virtual HRESULT GetMediaType(int position, media::MediaType* type) = 0;
    virtual HRESULT CheckMediaType(const media::MediaType* type) = 0;
    // Stores the type as the connection's type.
    virtual HRESULT SetMediaType(const media::MediaType* type);
    virtual HRESULT DecideBufferSize(media::MemAllocator* allocator,
                                     media::AllocatorProperties* request) = 0;
    HRESULT Connect(media::SampleSink* sink) override;
    HRESULT Disconnect() override;
    bool isConnected() const { return peer_ != nullptr; }
    const media::MediaType& connectionType() const { return mt_; }

    // Streaming thread hooks.
    virtual HRESULT OnThreadCreate() { return S_OK; }
    virtual HRESULT OnThreadDestroy() { return S_OK; }
    virtual HRESULT OnThreadStartPlay() { return S_OK; }
    // S_OK: deliver the sample; S_FALSE: end of stream; a failure ends it too.
    virtual HRESULT FillBuffer(media::MediaSample* sample) = 0;

    // The filter leaves the stopped state: start the streaming thread.
    HRESULT Active();
    // The filter stops: end the thread (it sees the request between samples).
    HRESULT Inactive();
    // True from the end of the stream (delivered end-of-stream) to the next start.
    bool streamEnded() const override { return streamEnded_.load(std::memory_order_acquire); }

protected:
    // Inactive calls this before it waits for the thread, so that a FillBuffer
    // blocked on its input can return.
    virtual void UnblockFill() {}

    SourceFilter* filter_;
    media::MediaType mt_;

private:
    enum class Command { None, Play, Exit };
    void threadProc();
    HRESULT doBufferProcessingLoop();
    Command waitCommand();
    bool commandPending();
    void announceStart();

    const char* name_;
    media::SampleSink* peer_ = nullptr;
    SampleAllocator allocator_;
    std::thread thread_;
    // Guarded by commandMutex_.
    std::mutex commandMutex_;
    std::condition_variable commandChanged_;
    Command command_ = Command::None;
    bool started_ = false;  // the thread is past its start of play
    std::atomic<bool> streamEnded_{false};
};
