#include "core/capture_core.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>

#include "core/audio_path.h"
#include "base/debug_log.h"
#include "core/device.h"
#include "base/fatal.h"
#include "core/link_stats.h"
#include "core/thread_priority.h"

FramePool framePool;

namespace {
using namespace std::chrono_literals;

constexpr int kMaxSkipRun = 8;
constexpr auto kStarvedWait = 500ms;
constexpr auto kErrorPause = 250ms;
constexpr auto kStopWait = 500ms;

// Owned by the UI thread (start, arrival, shutdown).
CoreHost* coreHost = nullptr;
usb::Backend* coreBackend = nullptr;
// Never destroyed: a process that ends without usbThread_stop (a fatal
// error, say) must not abort on a joinable thread object.
std::thread& readerThread = *new std::thread;
std::atomic<bool> running{false};

// The reader's stop request and its answer; the mutex only pairs with the
// condition variable, it is never held while another lock is taken.
std::atomic<bool> stopFlag{false};
std::mutex stopMutex;
std::condition_variable stopWake;
bool readerDone = true;            // guarded by stopMutex
std::atomic<int> readersAlive{0};  // includes a reader left behind by a slow stop

// Waits for a free buffer for up to 500 ms, looking at the stop flag now and then.
bool takeFreeBuffer() {
    const auto deadline = std::chrono::steady_clock::now() + kStarvedWait;
    while (!stopFlag.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, 50ms);
        if (framePool.freeQueue.semaphore.try_acquire_for(slice)) return true;
    }
    return false;
}

void pauseAfterError() {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopWake.wait_for(lock, kErrorPause, [] { return stopFlag.load(); });
}

void readerLoop(CoreHost* host) {
    pthread_setname_np(pthread_self(), "reader");
    // Above normal priority when the system grants it; fine without.
    raiseReaderPriority();

    FrameQueue& freeQueue = framePool.freeQueue;
    ReadRun run;
    while (!stopFlag.load()) {
        linkStats.rdyQ.store(freeQueue.size(), std::memory_order_relaxed);
        if (!takeFreeBuffer()) {
            if (!stopFlag.load()) debugPrintf("read_thread starved\n");
            continue;
        }
        if (readIntoBuffer(*host, freeQueue.pop(), run) == FRAME_ERROR) pauseAfterError();
    }

    {
        std::lock_guard<std::mutex> lock(stopMutex);
        readerDone = true;
    }
    stopWake.notify_all();
    readersAlive.fetch_sub(1);
}

bool allocatePool() {
    for (FrameBuffer& buffer : framePool.buffers) {
        if (buffer.videoStorage == nullptr) {
            buffer.videoStorage = new (std::nothrow) uint8_t[kVideoStorageAllocBytes];
            if (buffer.videoStorage == nullptr) return false;
        }
    }
    resetFramePool();
    return true;
}

bool startReader(CoreHost* host) {
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        readerDone = false;
    }
    readersAlive.fetch_add(1);
    try {
        readerThread = std::thread(readerLoop, host);
    } catch (const std::system_error&) {
        readersAlive.fetch_sub(1);
        return false;
    }
    return true;
}

// A reader left running by an earlier slow stop must be gone before the pool is reset.
void awaitOldReader() {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (readersAlive.load() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
}
}  // namespace

int readIntoBuffer(CoreHost& host, FrameBuffer* buffer, ReadRun& run) {
    FrameQueue& freeQueue = framePool.freeQueue;
    int& skipRun = run.skipRun;
    int status;
    if (currentDevice()->openState == Streaming) {
        bool gone;
        {
            std::lock_guard<std::mutex> lock(deviceLock);
            status = currentDevice()->readFrame(buffer);
            gone = status == FRAME_ERROR && usb::lastError() == usb::kErrorNoDevice;
        }
        if (gone && run.boardAnswers) host.postBoardLeft();
        run.boardAnswers = !gone;
    } else {
        status = FRAME_ERROR;
        buffer->audioLength = 0;
    }

    if (status == FRAME_SKIP) {
        if (skipRun < kMaxSkipRun) {
            ++skipRun;
            linkStats.skips.fetch_add(1, std::memory_order_relaxed);
            debugPrintf("FRAME_SKIP\n");
            freeQueue.push(buffer);
            pushAudio(buffer->audioData, 0);
            return FRAME_SKIP;
        }
        status = FRAME_ERROR;
    }
    if (status == FRAME_ERROR) {
        linkStats.errors.fetch_add(1, std::memory_order_relaxed);
        std::memset(buffer->videoStorage, 0, kFrameVideoBytes);
        debugPrintf("FRAME_ERROR\n");
    }
    buffer->status = status;
    skipRun = 0;

    if (buffer->audioLength % 4 != 0) {
        buffer->audioLength &= ~3;
        debugPrintf("? odd audio byte count\n");
    }
    pushAudio(buffer->audioData, buffer->audioLength);

    // A frame the UI could not take goes back to the pool instead of being lost.
    if (!host.postFrameReady(buffer)) freeQueue.push(buffer);
    return status;
}

void resetFramePool() {
    framePool.freeQueue.reset();
    for (FrameBuffer& buffer : framePool.buffers) {
        {
            std::lock_guard<std::mutex> lock(buffer.mutex);
            buffer.refCount = 0;
        }
        buffer.audioData = buffer.videoStorage ? buffer.videoStorage + kFrameVideoBytes : nullptr;
        buffer.audioLength = 0;
        buffer.status = FRAME_OK;
        if (buffer.videoStorage) framePool.freeQueue.push(&buffer);
    }
}

bool captureCoreRunning() { return running.load(); }

bool usbThread_start(CoreHost& host, usb::Backend& backend) {
    awaitOldReader();
    coreHost = &host;
    coreBackend = &backend;
    {
        std::lock_guard<std::mutex> lock(deviceLock);
        kestrelDevice.close();  // nothing may stay open on the previous backend
    }
    kestrelDevice.setBackend(&backend);
    setCurrentDevice(&nullDevice);
    backend.setArrivalHandler(
        [hostPtr = &host](const usb::Guid& interfaceClass) { hostPtr->postDeviceArrival(interfaceClass); });

    stopFlag = false;
    if (!allocatePool()) fatalError("usbThread_start() failed");
    running = true;
    // The board is opened before the reader's first pass, so that pass does
    // not find an unopened board and deliver a needless black frame.
    connectDevice(nullptr);
    forgetReaderPriority();
    if (!startReader(&host)) fatalError("usbThread_start() failed");

    showFirmwareUpdate();
    return true;
}

void deviceArrival(const usb::Guid& interfaceClass) {
    if (!running.load()) return;  // an arrival still queued after shutdown
    connectDevice(&interfaceClass);
    showFirmwareUpdate();
}

void showFirmwareUpdate() {
    if (coreHost == nullptr || currentDevice()->openState != NeedsUpdate) return;
    if (coreHost->runFirmwareUpdate() <= 0) coreHost->postClose();
}

void usbThread_stop() {
    if (!running.exchange(false)) return;
    // No arrival may reopen the board once shutdown has begun.
    if (coreBackend) coreBackend->setArrivalHandler({});

    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopFlag = true;
    }
    stopWake.notify_all();
    if (readerThread.joinable()) {
        bool ended;
        {
            std::unique_lock<std::mutex> lock(stopMutex);
            ended = stopWake.wait_for(lock, kStopWait, [] { return readerDone; });
        }
        if (ended)
            readerThread.join();
        else
            readerThread.detach();  // it ends on its own once its transfer returns
    }

    {
        std::lock_guard<std::mutex> lock(deviceLock);
        currentDevice()->close();
        setCurrentDevice(&nullDevice);
    }
    coreHost = nullptr;
    coreBackend = nullptr;
}
