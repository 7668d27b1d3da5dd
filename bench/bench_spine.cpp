// The capture spine at full speed: the unpaced simulated board, the device
// link, the reader thread and the pool, with a consumer that gives every
// frame back. Reports frames per second, CPU time per frame and heap
// allocations per frame once warmed up (expected: none).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/capture_core.h"
#include "base/debug_log.h"
#include "core/device.h"
#include "usb/sim/sim_board.h"

// Every allocation through operator new in the process, any thread. The
// replacements pair malloc with free, which GCC cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<uint64_t> allocations{0};

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

double processCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Counts frames and wakes the benchmark thread every `batch` of them.
class CountingHost : public CoreHost {
public:
    explicit CountingHost(bool consumerThread) : consumerThread_(consumerThread) {
        if (consumerThread_) consumer_ = std::thread([this] { consume(); });
    }
    ~CountingHost() override {
        stop_ = true;
        if (consumer_.joinable()) consumer_.join();
    }

    bool postFrameReady(FrameBuffer* frame) override {
        if (consumerThread_) {
            handoff_.push(frame);
        } else {
            giveBack(frame);
        }
        return true;
    }
    int runFirmwareUpdate() override { return 1; }
    void postClose() override {}
    void postDeviceArrival(const usb::Guid&) override {}

    uint64_t frames() const { return frames_.load(); }
    void waitFor(uint64_t target) {
        std::unique_lock<std::mutex> lock(mutex_);
        target_ = target;
        wake_.wait(lock, [&] { return frames_.load() >= target; });
    }

private:
    // The dispatch's reference, released at once as with no window open.
    void giveBack(FrameBuffer* frame) {
        addRef(frame);
        release(frame);
        const uint64_t n = frames_.fetch_add(1) + 1;
        if (n >= target_.load()) {
            std::lock_guard<std::mutex> lock(mutex_);
            wake_.notify_all();
        }
    }
    void consume() {
        while (!stop_) {
            if (!handoff_.semaphore.try_acquire_for(std::chrono::milliseconds(50))) continue;
            giveBack(handoff_.pop());
        }
        drainQueue(handoff_);
    }

    const bool consumerThread_;
    FrameQueue handoff_;
    std::thread consumer_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0};
    std::atomic<uint64_t> target_{~uint64_t{0}};
    std::mutex mutex_;
    std::condition_variable wake_;
};

void runSpine(benchmark::State& state, bool consumerThread) {
    setDebugOutput(-1);
    usb::SimBoard board;
    board.setPaced(false);
    CountingHost host(consumerThread);
    usbThread_start(host, board);

    constexpr uint64_t kBatch = 60;
    host.waitFor(host.frames() + 2 * kBatch);  // warm-up: every buffer has been round once

    uint64_t frames = 0;
    uint64_t allocs = 0;
    double cpu = 0;
    for (auto _ : state) {
        const uint64_t first = host.frames();
        const uint64_t allocsBefore = allocations.load();
        const double cpuBefore = processCpuSeconds();
        host.waitFor(first + kBatch);
        cpu += processCpuSeconds() - cpuBefore;
        allocs += allocations.load() - allocsBefore;
        frames += host.frames() - first;
    }
    usbThread_stop();

    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["cpu_us_per_frame"] = frames ? cpu * 1e6 / static_cast<double>(frames) : 0;
    state.counters["allocs_per_frame"] = frames ? static_cast<double>(allocs) / static_cast<double>(frames) : 0;
}

void BM_SpineDirectRelease(benchmark::State& state) { runSpine(state, false); }
void BM_SpineConsumerThread(benchmark::State& state) { runSpine(state, true); }

// One frame through the device link alone, on the calling thread: the
// board's frame generation plus the "USB" copy into the buffer.
void BM_ReadFrame(benchmark::State& state) {
    setDebugOutput(-1);
    usb::SimBoard board;
    board.setPaced(false);
    kestrelDevice.setBackend(&board);
    if (!kestrelDevice.open(nullptr)) {
        state.SkipWithError("board did not open");
        return;
    }
    std::vector<uint8_t> storage(kVideoStorageAllocBytes);
    FrameBuffer buffer;
    buffer.videoStorage = storage.data();
    for (int i = 0; i < 10; ++i) kestrelDevice.readFrame(&buffer);
    const uint64_t allocsBefore = allocations.load();
    for (auto _ : state) {
        if (kestrelDevice.readFrame(&buffer) != FRAME_OK) state.SkipWithError("frame lost");
    }
    const uint64_t allocs = allocations.load() - allocsBefore;
    kestrelDevice.close();
    kestrelDevice.setBackend(nullptr);
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_frame"] =
        static_cast<double>(allocs) / static_cast<double>(std::max<int64_t>(1, state.iterations()));
}

}  // namespace

BENCHMARK(BM_ReadFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SpineDirectRelease)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SpineConsumerThread)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
