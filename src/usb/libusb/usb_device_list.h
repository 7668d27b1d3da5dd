#pragma once
// The USB devices connected now, described for a user choosing which one is
// the capture board. The description carries no libusb types, so the user
// interface can take it without the library's headers.
#include <cstdint>
#include <string>
#include <vector>

#include "usb/usb_ids.h"

namespace usb {

struct UsbDeviceInfo {
    UsbId id{};
    uint8_t bus = 0;
    uint8_t address = 0;
    std::string manufacturer;  // "" when the device names none we could read
    std::string product;
    // A vendor-specific interface (class 0xFF) with a bulk IN endpoint 0x82,
    // the way the capture board presents its frames.
    bool captureInterface = false;
};

// Likely capture boards first, then by bus and address.
bool listedBefore(const UsbDeviceInfo& a, const UsbDeviceInfo& b);

// The connected devices other than hubs, in listedBefore order; empty when
// libusb cannot be started. Names come from sysfs, else from the devices'
// string descriptors where this user may open them.
std::vector<UsbDeviceInfo> listUsbDevices();

}  // namespace usb
