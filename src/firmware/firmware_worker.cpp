#include "firmware/firmware_worker.h"

#include <mutex>

#include "firmware/update_failure.h"

int runFirmwareUpdateWorker(ProgressFn progress) {
    setUpdateFailureText({});
    std::lock_guard<std::mutex> lock(deviceLock);
    UsbDevice* device = currentDevice();
    if (device->openState != NeedsUpdate) return kUpdateNotWanted;
    return device->updateFirmware(nullptr, progress);
}
