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
    // The kernel had no names, but the device has string descriptors: they
    // are read from the device itself (readUsbDeviceNames), which may be slow.
    bool namesOnDevice = false;
    // A vendor-specific interface (class 0xFF) with a bulk IN endpoint 0x82,
    // the way the capture board presents its frames.
    bool captureInterface = false;
};

// Likely capture boards first, then by bus and address.
bool listedBefore(const UsbDeviceInfo& a, const UsbDeviceInfo& b);

// The connected devices other than hubs, in listedBefore order; empty when
// libusb cannot be started. Quick: nothing is asked of the devices, the
// names are the kernel's (from sysfs).
std::vector<UsbDeviceInfo> listUsbDevices();

// Reads the names of a device marked namesOnDevice from its string
// descriptors, where this user may open it. This talks to the device: a
// device that is slow to answer holds the caller up to libusb's time-outs.
// False when the device is gone or cannot be opened or asked.
bool readUsbDeviceNames(UsbDeviceInfo& device);

}  // namespace usb
