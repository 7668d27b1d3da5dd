#include "core/device.h"

// Placeholder until the firmware update lands.
int _KestrelDevice::updateFirmware(void*, ProgressFn) { return -1; }
