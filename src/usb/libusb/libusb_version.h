#pragma once
// The libusb library in use, for the About box.
#include <string>

namespace usb {
// "1.0.26": the version of the libusb library loaded at run time.
std::string libusbVersion();
}  // namespace usb
