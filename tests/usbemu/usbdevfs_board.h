#pragma once
// The capture board at the kernel's USB device interface, for libusb's own
// Linux backend: a umockdev testbed holds the device's sysfs record, its
// binary descriptors and its device node, and an ioctl handler answers the
// usbdevfs requests (URBs submitted, reaped and discarded, interfaces claimed)
// from a usb::BoardModel. The process that talks to the board runs with
// UMOCKDEV_DIR = rootDir() and libumockdev-preload in LD_PRELOAD (the tests
// run under umockdev-wrapper; the launcher sets both for its child).
//
// The board leaving the bus (the model's unplug() or its reconfigure) takes
// the device out of the testbed with a "remove" uevent; every URB in flight
// ends with ENODEV and so does every later request on the old node. The board
// coming back (replug() or the comeback after a reconfigure) adds it again
// under the next device number with an "add" uevent, as re-enumeration does.
//
// The testbed and the handler live on the object's own GLib thread; the
// model's transfers run on a worker thread, so a transfer that waits (a start
// request waiting for its frame) never stalls other ioctls.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/sim/board_model.h"

namespace usbemu {

constexpr uint16_t kVendor = 0x1209;
constexpr uint16_t kProduct = 0x4b43;

// What the descriptors say, including the lies a broken board could tell.
enum class Descriptors {
    Board,            // one vendor interface with bulk IN 0x82 and bulk OUT 0x01
    SecondInterface,  // interface 0 carries only an interrupt IN 0x81; 0x82 is on interface 1
    NoFramePipe,      // no endpoint 0x82 anywhere
    ShortConfig,      // the configuration descriptor ends before its stated length
};

class UsbdevfsBoard {
public:
    explicit UsbdevfsBoard(usb::BoardModel& model, Descriptors descriptors = Descriptors::Board);
    ~UsbdevfsBoard();
    UsbdevfsBoard(const UsbdevfsBoard&) = delete;
    UsbdevfsBoard& operator=(const UsbdevfsBoard&) = delete;

    std::string rootDir() const;
    // The device number the board has now (2 at first, one more per arrival).
    int deviceNumber() const;
    // Takes the device out of the testbed without telling the model, as if it
    // vanished between listing and opening.
    void vanish();
    // The interfaces claimed on the present device, by any client.
    std::vector<unsigned> claimedInterfaces() const;
    // URBs the handler has answered (submitted and completed), for checks.
    uint64_t urbsCompleted() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// True when this process's libusb calls reach a testbed (umockdev's preload
// library is loaded); the reason otherwise.
bool emulationAvailable(std::string* why);
// Runs the program again with umockdev's preload library when it is not
// loaded yet (once; returns when that cannot be done). Call first in main().
void runUnderUmockdev(char** argv);
// Lets a sanitizer's runtime start behind the preload library (for a child
// started with it in LD_PRELOAD).
void allowPreloadBeforeSanitizer();

}  // namespace usbemu
