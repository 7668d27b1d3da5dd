#include "core/device.h"

#include <atomic>
#include <string>
#include <vector>

#include "base/debug_log.h"

UsbDevice nullDevice;
_KestrelDevice kestrelDevice;
std::mutex deviceLock;

namespace {
std::atomic<UsbDevice*> current{&nullDevice};

// Pipe time-outs: generous while the configuration is read, tight while
// streaming so that the device lock is never held for long.
constexpr uint32_t kConfigTimeoutMs = 500;
constexpr uint32_t kStreamControlTimeoutMs = 30;
constexpr uint32_t kStreamReadTimeoutMs = 50;

// Room for one frame, asked for in whole 512-byte packets.
constexpr uint32_t kPacketRoundUp = kVideoStorageBytes + 511;
}  // namespace

UsbDevice* currentDevice() { return current.load(std::memory_order_acquire); }
void setCurrentDevice(UsbDevice* device) { current.store(device, std::memory_order_release); }

// The null device.
bool UsbDevice::open(const usb::Guid*) { return false; }
void UsbDevice::close() {}
int UsbDevice::readFrame(FrameBuffer*) { return FRAME_ERROR; }
int UsbDevice::controlRead(uint8_t, uint16_t, uint16_t, uint8_t*) { return -1; }
bool UsbDevice::controlWrite(uint8_t, uint16_t, uint16_t, const uint8_t*) { return false; }
bool UsbDevice::bulkRead(uint8_t*, uint32_t, uint32_t*) { return false; }

bool _KestrelDevice::open(const usb::Guid* guid) {
    if (guid != nullptr && !(*guid == deviceInterfaceGuid)) return false;
    close();
    if (backend_ == nullptr) return false;

    const std::vector<std::string> paths = backend_->enumerate(deviceInterfaceGuid);
    for (size_t index = 0; openState == Closed; ++index) {
        close();  // whatever the previous attempt left open
        if (index >= paths.size()) break;
        debugPrintf("opening %s\n", paths[index].c_str());
        interface_ = backend_->open(paths[index]);
        if (!interface_) continue;
        if (!interface_->setPipeTimeout(0, kConfigTimeoutMs)) continue;
        uint8_t config[3];
        if (!readConfig(this, 3, config)) continue;
        debugPrintf("hardware v%d, firmware v%d.%d\n", config[0], config[1], config[2]);
        firmwareMajor = config[1];
        firmwareMinor = config[2];
        if (config[1] == 5 || config[1] == 6) {
            // Old firmware: the update runs with the configuration time-out.
            openState = NeedsUpdate;
            break;
        }
        if (!interface_->setPipeTimeout(0, kStreamControlTimeoutMs)) continue;
        if (!interface_->setPipeTimeout(kFramePipe, kStreamReadTimeoutMs)) continue;
        interface_->setRawIo(kFramePipe, true);  // best effort
        openState = Streaming;
    }
    if (openState == Closed) close();
    return openState != Closed;
}

void _KestrelDevice::close() {
    interface_.reset();
    openState = Closed;
}

int _KestrelDevice::controlRead(uint8_t request, uint16_t value, uint16_t length, uint8_t* data) {
    if (!interface_) {
        usb::setLastError(usb::kErrorNoDevice);
        return -1;
    }
    const usb::SetupPacket setup{0xC0, request, value, 0, length};
    uint32_t transferred = 0;
    if (!interface_->controlTransfer(setup, data, length, &transferred)) return -1;
    return static_cast<int>(transferred);
}

bool _KestrelDevice::controlWrite(uint8_t request, uint16_t value, uint16_t length,
                                  const uint8_t* data) {
    if (!interface_) {
        usb::setLastError(usb::kErrorNoDevice);
        return false;
    }
    if (data == nullptr) length = 0;
    const usb::SetupPacket setup{0x40, request, value, 0, length};
    uint32_t transferred = 0;
    // The USB layer takes one buffer for both directions; an OUT stage only reads it.
    if (!interface_->controlTransfer(setup, const_cast<uint8_t*>(data), length, &transferred))
        return false;
    if (transferred != length) {
        usb::setLastError(usb::kErrorGenFailure);
        return false;
    }
    return true;
}

bool _KestrelDevice::bulkRead(uint8_t* data, uint32_t length, uint32_t* received) {
    *received = 0;
    if (!interface_) {
        usb::setLastError(usb::kErrorNoDevice);
        return false;
    }
    return interface_->readPipe(kFramePipe, data, length, received);
}

bool _KestrelDevice::setPipeTimeout(uint8_t pipe, uint32_t milliseconds) {
    if (!interface_) {
        usb::setLastError(usb::kErrorNoDevice);
        return false;
    }
    return interface_->setPipeTimeout(pipe, milliseconds);
}

int _KestrelDevice::readFrame(FrameBuffer* buffer) {
    buffer->audioLength = 0;
    if (!controlWrite(REQ_START_FRAME, 0, 0, nullptr))
        return usb::lastError() == usb::kErrorSemTimeout ? FRAME_SKIP : FRAME_ERROR;

    uint32_t total = 0;
    bool previousOk = true;
    for (;;) {
        const uint32_t request = (kPacketRoundUp - total) & ~511u;
        uint32_t received = 0;
        const bool ok = bulkRead(buffer->videoStorage + total, request, &received);
        if (received > request) received = request;  // never trust a count past the request
        total += received;
        if (total >= kVideoStorageBytes) break;
        if (received == 0) {
            if (ok) break;            // an empty packet ends the frame
            if (!previousOk) break;   // two failed reads in a row
        }
        previousOk = ok;
    }
    if (total < kFrameVideoBytes) return FRAME_SKIP;
    // The last request rounds up to whole packets; what lands past the frame
    // storage is not frame data, and every consumer of the sound is sized
    // for the storage.
    if (total > kVideoStorageBytes) total = kVideoStorageBytes;
    buffer->audioData = buffer->videoStorage + kFrameVideoBytes;
    buffer->audioLength = static_cast<int32_t>(total - kFrameVideoBytes);
    return FRAME_OK;
}

bool readConfig(UsbDevice* device, int length, uint8_t* data) {
    bool ok = length >= 1 && length <= 256 &&
              device->controlWrite(REQ_PORT, CONFIG_PORT, 1, &kConfigSelect) &&
              device->controlRead(REQ_PORT, CONFIG_PORT, static_cast<uint16_t>(length), data) == length;
    if (!ok) debugPrintf("Kestrel config read failed.\n");
    return ok;
}

bool connectDevice(const usb::Guid* guid) {
    std::lock_guard<std::mutex> lock(deviceLock);
    currentDevice()->close();
    if (kestrelDevice.open(guid)) {
        setCurrentDevice(&kestrelDevice);
        return true;
    }
    setCurrentDevice(&nullDevice);
    return false;
}
