#pragma once
// The device link on the libusb backend, talking to the board model through
// the emulated usbdevfs node: a private config folder whose "usb-ids" lists
// the board, the testbed, and a fresh libusb backend per test.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "core/device.h"
#include "support/debug_capture.h"
#include "support/private_folders.h"
#include "usb/sim/sim_board.h"
#include "usbemu/usbdevfs_board.h"

class LibusbBoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Builds the emulated board and the backend (SetUp does it with the defaults).
    void start(usbemu::Descriptors descriptors = usbemu::Descriptors::Board, bool listIds = true);
    // Waits until the condition holds, up to `ms` milliseconds.
    static bool waitFor(const std::function<bool()>& condition, int ms = 5000);

    std::string folder;  // temporary XDG_CONFIG_HOME
    PrivateFolders folders;  // the update's kept board data and images, per test
    usb::BoardModel model;
    std::unique_ptr<usbemu::UsbdevfsBoard> board;
    std::unique_ptr<usb::Backend> backend;
    DebugCapture debug;
    bool skipped = false;
};

// Room for one frame, as the application allocates it.
struct FrameStorage {
    std::vector<uint8_t> storage;
    FrameBuffer frame;
    FrameStorage();
};
