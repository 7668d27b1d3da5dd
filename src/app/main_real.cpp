// The application on a real capture board, reached through libusb.
#include <memory>

#include "base/fatal.h"
#include "app/about_box.h"
#include "app/board_chooser.h"
#include "app/command_line.h"
#include "app/kestrel_app.h"
#include "app/camera_share.h"
#include "usb/libusb/usb_device_list.h"
#include "usb/libusb/libusb_backend.h"
#include "usb/libusb/libusb_version.h"

int main(int argc, char** argv) {
    // Help, version and mistakes are answered before the display is touched.
    CommandLine line;
    if (const int status = answerCommandLine(argc, argv, ProgramKind::Real, line); status >= 0) return status;
    if (line.pipewire) requestCameraShareAtStart();
    std::unique_ptr<usb::Backend> backend = usb::makeLibusbBackend();
    if (!backend) {
        // Without a USB stack no board can ever be reached.
        fatalError("usbThread_start() failed");
    }
    setUsbDeviceLister(usb::listUsbDevices, usb::readUsbDeviceNames);
    setUsbStackVersion([] { return "libusb " + usb::libusbVersion(); });
    return runKestrelCapture(*backend);
}
