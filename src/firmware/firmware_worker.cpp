#include "firmware/firmware_worker.h"

#include <mutex>

#include "firmware/firmware_update.h"
#include "firmware/update_failure.h"

int runFirmwareUpdateWorker(ProgressFn progress) {
    setUpdateFailureText({});
    std::lock_guard<std::mutex> lock(deviceLock);
    auto* board = dynamic_cast<_KestrelDevice*>(currentDevice());
    if (!board || board->openState != NeedsUpdate) return kUpdateNotWanted;
    return updateFirmware(*board, progress);
}
