// The application on a real capture board, reached through libusb.
#include <memory>

#include "base/fatal.h"
#include "app/board_chooser.h"
#include "app/kestrel_app.h"
#include "app/camera_share.h"
#include "app/share_switch.h"
#include "usb/libusb/usb_device_list.h"
#include "usb/libusb/libusb_backend.h"

int main(int argc, char** argv) {
    if (takePipeWireSwitch(argc, argv)) requestCameraShareAtStart();
    std::unique_ptr<usb::Backend> backend = usb::makeLibusbBackend();
    if (!backend) {
        // Without a USB stack no board can ever be reached.
        fatalError("usbThread_start() failed");
    }
    setUsbDeviceLister(usb::listUsbDevices);
    return runKestrelCapture(*backend);
}
