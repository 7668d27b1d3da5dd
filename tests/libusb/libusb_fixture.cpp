#include "libusb/libusb_fixture.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "usb/libusb/libusb_backend.h"

void LibusbBoardTest::SetUp() {
    std::string why;
    if (!usbemu::emulationAvailable(&why)) {
        skipped = true;
        GTEST_SKIP() << why;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "kc-libusb-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    std::filesystem::create_directories(folder + "/Wren Capture");
    model.flash().setTimeScale(0);
    model.setReconfigureDelay(20);
}

void LibusbBoardTest::start(usbemu::Descriptors descriptors, bool listIds) {
    if (listIds) {
        std::ofstream ids(folder + "/Wren Capture/usb-ids");
        ids << "# the emulated board\n1209:4b43\n";
    }
    board = std::make_unique<usbemu::UsbdevfsBoard>(model, descriptors);
    backend = usb::makeLibusbBackend();
    ASSERT_TRUE(backend);
    kestrelDevice.setBackend(backend.get());
}

void LibusbBoardTest::TearDown() {
    if (skipped) return;
    {
        std::lock_guard<std::mutex> lock(deviceLock);
        currentDevice()->close();
        setCurrentDevice(&nullDevice);
    }
    kestrelDevice.close();
    kestrelDevice.setBackend(nullptr);
    backend.reset();
    board.reset();
    std::filesystem::remove_all(folder);
}

bool LibusbBoardTest::waitFor(const std::function<bool()>& condition, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

FrameStorage::FrameStorage() : storage(kVideoStorageAllocBytes) { frame.videoStorage = storage.data(); }
