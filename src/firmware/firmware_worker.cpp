#include "firmware/firmware_worker.h"

#include <mutex>

int runFirmwareUpdateWorker(ProgressFn progress) {
    std::lock_guard<std::mutex> lock(deviceLock);
    UsbDevice* device = currentDevice();
    if (device->openState != NeedsUpdate) return kUpdateNotWanted;
    return device->updateFirmware(nullptr, progress);
}
