#pragma once
// The device link: the only code that talks to the capture board.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/frame_buffer.h"
#include "usb/board_protocol.h"
#include "usb/usb_backend.h"

enum OpenState : int32_t { Closed = 0, NeedsUpdate = 1, Streaming = 2 };

using ProgressFn = void (*)(int thousandths);

// The null device: every operation fails. Callers never test for absence.
class UsbDevice {
public:
    // Written under deviceLock; the reader thread tests it without the lock.
    std::atomic<int32_t> openState{Closed};

    virtual bool open(const usb::Guid* guid);
    virtual void close();
    virtual int readFrame(FrameBuffer* buffer);
    virtual int controlRead(uint8_t request, uint16_t value, uint16_t length, uint8_t* data);
    virtual bool controlWrite(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data);
    virtual bool bulkRead(uint8_t* data, uint32_t length, uint32_t* received);
};
// No virtual destructor: both device objects are static and live as long as the process.

// The real board, reached through the USB layer.
class _KestrelDevice : public UsbDevice {
public:
    explicit _KestrelDevice(usb::Backend* backend = nullptr) : backend_(backend) {}
    // The board object is static; at process end its backend may already be
    // gone, so an interface still open then is left to the system.
    ~_KestrelDevice() { (void)interface_.release(); }

    bool open(const usb::Guid* guid) override;
    void close() override;
    int readFrame(FrameBuffer* buffer) override;
    int controlRead(uint8_t request, uint16_t value, uint16_t length, uint8_t* data) override;
    bool controlWrite(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data) override;
    bool bulkRead(uint8_t* data, uint32_t length, uint32_t* received) override;

    // Sets a pipe's transfer time-out on the open interface (false when closed).
    bool setPipeTimeout(uint8_t pipe, uint32_t milliseconds);

    void setBackend(usb::Backend* backend) { backend_ = backend; }
    usb::Backend* backend() const { return backend_; }

    uint32_t flashId = 0;  // written only by the flash protocol's checkId
    // What the last successful open read from the board (under deviceLock).
    int firmwareMajor = 0;
    int firmwareMinor = 0;

private:
    usb::Backend* backend_;
    std::unique_ptr<usb::Interface> interface_;  // null when closed
};

bool readConfig(UsbDevice* device, int length, uint8_t* data);

// The two device objects, the current-device pointer and the device lock.
extern UsbDevice nullDevice;
extern _KestrelDevice kestrelDevice;
extern std::mutex deviceLock;  // every call on the current device, every pointer change
UsbDevice* currentDevice();    // read without the lock; calls need the lock
void setCurrentDevice(UsbDevice* device);  // under deviceLock

// (Re)opens the board under the device lock; the board becomes current on success.
bool connectDevice(const usb::Guid* guid);
