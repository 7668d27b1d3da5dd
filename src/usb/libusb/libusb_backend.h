#pragma once
// The USB layer on libusb, for real boards. A board is any present device
// whose ids are listed in "usb-ids" in the settings folder (usb_ids.h); its
// interfaces are reported under the board's interface class with paths
// "usb:<bus>-<address>:<vvvv>:<pppp>". Arrivals come from libusb's hotplug
// events, raised on the backend's own event thread; where libusb has none
// (or hotplug is false), the backend lists the bus once a second and a
// listed board it had not seen is an arrival.
#include <memory>

#include "usb/usb_backend.h"

namespace usb {

// Null when libusb cannot be started.
std::unique_ptr<Backend> makeLibusbBackend(bool hotplug = true);

}  // namespace usb
