#pragma once
// The capture core: frame pool, reader thread, start, device arrival, shutdown.
#include <atomic>
#include <thread>

#include "core/frame_buffer.h"
#include "usb/usb_backend.h"

// What the capture core needs of the user interface. The Qt host posts to the
// control window; tests and benchmarks provide their own.
class CoreHost {
public:
    virtual ~CoreHost() = default;
    // Reader thread: hand a filled buffer to the UI thread (WM_FRAME_READY).
    // False when it could not be queued; the caller then keeps the buffer.
    virtual bool postFrameReady(FrameBuffer* frame) = 0;
    // UI thread: the current device needs a firmware update; run the modal
    // update dialog. A result of 0 or less makes the core ask the UI to close.
    virtual int runFirmwareUpdate() = 0;
    // Any thread: ask the control window to close (WM_CLOSE).
    virtual void postClose() = 0;
    // Backend thread: a device of a class arrived; the host must bring this
    // to the UI thread and call deviceArrival there.
    virtual void postDeviceArrival(const usb::Guid& interfaceClass) = 0;
    // Reader thread: the open board answered no more, it is gone from the
    // bus (unplugged). Once per departure; its return comes as an arrival.
    virtual void postBoardLeft() {}
};

constexpr int kPoolSize = 12;

// The pool and the reader thread. Static, lives as long as the process.
struct FramePool {
    FrameBuffer buffers[kPoolSize];
    FrameQueue freeQueue;
};
extern FramePool framePool;

// Starts the capture core: pool, reader thread, first connectDevice, and the
// firmware check. A failure to create the pool or thread is fatal.
bool usbThread_start(CoreHost& host, usb::Backend& backend);
// UI thread: the arrival of a device of interfaceClass.
void deviceArrival(const usb::Guid& interfaceClass);
// UI thread: asks the host's firmware dialog when the current device needs it.
void showFirmwareUpdate();
// Stops the reader thread (up to 500 ms), closes the board. Audio and settings
// are handled by the caller (see the UI's shutdown order).
void usbThread_stop();

// Puts all twelve buffers back into an empty free queue with no holders
// (usbThread_start does this; tests call it between cases). Only while no
// reader thread runs and no consumer holds a buffer.
void resetFramePool();
// The reader's work on one buffer taken from the free queue: read a frame
// from the current device, check it, feed its sound to the audio path and
// post it. Returns FRAME_SKIP when the buffer went straight back to the free
// queue for a retry, else the status delivered with the frame. Reader thread
// (and tests, with no reader running).
struct ReadRun {
    int skipRun = 0;            // skips in a row
    bool boardAnswers = false;  // the last read reached the board (a departure is reported once)
};
int readIntoBuffer(CoreHost& host, FrameBuffer* buffer, ReadRun& run);
// True between usbThread_start and usbThread_stop.
bool captureCoreRunning();
