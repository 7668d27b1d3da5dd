#pragma once
// The body of the firmware update worker thread, without its window.
#include "core/device.h"

// Result code of an update that found the device not waiting for one.
constexpr int kUpdateNotWanted = 64;

// Takes the device lock for the whole update; runs the current device's
// update when it waits for one (kUpdateNotWanted otherwise, with no transfer).
int runFirmwareUpdateWorker(ProgressFn progress);
