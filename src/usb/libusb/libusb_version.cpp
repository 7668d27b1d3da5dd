#include "usb/libusb/libusb_version.h"

#include <libusb.h>

namespace usb {
std::string libusbVersion() {
    const libusb_version* version = libusb_get_version();
    return std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
           std::to_string(version->micro);
}
}  // namespace usb
