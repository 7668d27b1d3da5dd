#pragma once
// The firmware update: picks the image for the board's device type, checks
// it, programs it into the flash page by page with read-back, keeps the
// board's own data at the end of the flash, and tells the board to reload.
#include <cstdint>

#include "core/device.h"
#include "firmware/flash_link.h"

constexpr uint32_t kFirmwareImageLimit = 0x7E000;  // the board's own data starts here
constexpr uint32_t kKeptAddress1 = 0x7E000;
constexpr uint32_t kKeptLength1 = 8;
constexpr uint32_t kKeptAddress2 = 0x7F080;
constexpr uint32_t kKeptLength2 = 128;

// Resource id of the image for a device type; 0 for an unknown type.
int firmwareResourceId(uint8_t deviceType);

// The whole update over a link; returns 0 or the failure code.
int updateFirmwareOver(FlashLink& link, ProgressFn progress);
// The same over the open board; the caller holds deviceLock.
int updateFirmware(_KestrelDevice& device, ProgressFn progress);

// The board's data could not be kept on disk, so nothing was erased.
constexpr int kBoardDataNotSaved = 360;
