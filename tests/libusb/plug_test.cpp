// The board coming and going under libusb: unplug while streaming, replug
// with its uevent, re-enumeration after a firmware update, another program
// holding the board, and descriptors that lie.
#include <cstring>
#include <thread>

#include "../tools/synthetic_image.h"
#include "core/capture_core.h"
#include "core/link_stats.h"
#include "core/core_test_host.h"
#include "firmware/firmware_resources.h"
#include "firmware/firmware_update.h"
#include "libusb/libusb_fixture.h"
#include "usb/libusb/libusb_backend.h"

namespace {

using namespace std::chrono_literals;

class LibusbCoreTest : public LibusbBoardTest {
protected:
    TestHost host;
    void SetUp() override {
        LibusbBoardTest::SetUp();
        linkStats.clear();
    }
    void TearDown() override {
        if (!skipped) {
            usbThread_stop();
            host.releaseHeld();
            EXPECT_EQ(framePool.freeQueue.size(), kPoolSize);
        }
        LibusbBoardTest::TearDown();
    }
    size_t okFramesSince(size_t from) {
        const auto frames = host.frames();
        size_t n = 0;
        for (size_t i = from; i < frames.size(); ++i) n += frames[i].status == FRAME_OK;
        return n;
    }
};

TEST_F(LibusbCoreTest, UnplugWhileStreamingGivesBlackErrorFramesAndReplugStreamsAgain) {
    start();
    ASSERT_TRUE(usbThread_start(host, *backend));
    ASSERT_TRUE(waitFor([&] { return okFramesSince(0) >= 5; })) << debug.text();
    const int firstNode = board->deviceNumber();

    model.unplug();  // the device node goes away with a "remove" uevent
    ASSERT_TRUE(waitFor([&] { return linkStats.errors >= 1; })) << debug.text();
    const size_t gone = host.frameCount();
    ASSERT_TRUE(host.waitFrames(gone + 2)) << "error frames keep coming: the reader does not hang";
    EXPECT_EQ(host.frames().back().status, FRAME_ERROR);
    {
        const auto frames = host.frames();
        if (gone < 32) {
            EXPECT_TRUE(frames[gone].black) << "an error frame is black";
        }
    }

    model.replug();  // "add" uevent under the next device number
    ASSERT_TRUE(waitFor([&] { return host.arrivals >= 1; }, 8000)) << debug.text();
    const size_t back = host.frameCount();
    ASSERT_TRUE(waitFor([&] { return okFramesSince(back) >= 5; }, 8000)) << debug.text();
    EXPECT_EQ(board->deviceNumber(), firstNode + 1);
    EXPECT_EQ(currentDevice(), &kestrelDevice);
}

TEST_F(LibusbCoreTest, ABoardPluggedInLaterIsFoundAndStreams) {
    for (bool hotplug : {true, false}) {
        SCOPED_TRACE(hotplug ? "hotplug events" : "listing once a second");
        usbThread_stop();
        host.releaseHeld();
        kestrelDevice.setBackend(nullptr);
        backend.reset();
        board.reset();
        model.unplug();
        start();
        backend = usb::makeLibusbBackend(hotplug);
        kestrelDevice.setBackend(backend.get());
        const size_t from = host.frameCount();
        ASSERT_TRUE(usbThread_start(host, *backend));
        EXPECT_EQ(currentDevice(), &nullDevice);
        model.replug();
        ASSERT_TRUE(waitFor([&] { return okFramesSince(from) >= 3; }, 8000)) << debug.text();
        EXPECT_EQ(debug.text().find("not available") != std::string::npos, !hotplug);
    }
}

TEST_F(LibusbBoardTest, AFullFirmwareUpdateThenTheBoardComesBackUpToDate) {
    const std::vector<uint8_t> image = synthetic::image(4);
    const std::vector<uint8_t> stream = synthetic::compress(image);
    FirmwareResource table[1] = {{104, stream.data(), stream.size()}};
    setFirmwareResources(table, 1);
    model.setConfig(4, 5, 0);
    model.flash().loadFactoryContent(4);
    start();
    ASSERT_TRUE(kestrelDevice.open(nullptr));
    ASSERT_EQ(kestrelDevice.openState, NeedsUpdate);
    const int node = board->deviceNumber();
    EXPECT_EQ(updateFirmware(kestrelDevice, [](int) {}), 0) << debug.text();
    setFirmwareResources(nullptr, 0);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), model.flash().data()));

    // The reload: the board leaves the bus and re-enumerates with firmware 8.0.
    ASSERT_TRUE(waitFor([&] { return board->deviceNumber() == node + 1; })) << debug.text();
    ASSERT_TRUE(waitFor([&] { return connectDevice(nullptr); })) << debug.text();
    EXPECT_EQ(kestrelDevice.openState, Streaming);
    FrameStorage buffer;
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
}

TEST_F(LibusbBoardTest, RemovedDuringTheUpdateOrTheConfigReadFailsCleanly) {
    const std::vector<uint8_t> stream = synthetic::compress(synthetic::image(4));
    FirmwareResource table[1] = {{104, stream.data(), stream.size()}};
    setFirmwareResources(table, 1);
    model.setConfig(4, 5, 0);
    model.flash().loadFactoryContent(4);
    start();
    ASSERT_TRUE(kestrelDevice.open(nullptr));
    std::thread puller([&] {
        waitFor([&] { return model.flash().transfers() > 200; });
        model.unplug();
    });
    EXPECT_NE(updateFirmware(kestrelDevice, [](int) {}), 0);
    puller.join();
    setFirmwareResources(nullptr, 0);
    kestrelDevice.close();

    // Gone in the middle of the configuration read: the open fails, nothing waits.
    model.replug();
    ASSERT_TRUE(waitFor([&] { return !backend->enumerate(deviceInterfaceGuid).empty(); }));
    model.clearTranscript();
    std::thread remover([&] {
        waitFor([&] {
            for (const auto& t : model.transcript())
                if (t.kind == usb::BoardModel::Kind::Control) return true;
            return false;
        });
        model.unplug();
    });
    model.failStartRequests(0);
    const bool opened = kestrelDevice.open(nullptr);
    remover.join();
    if (opened) {
        FrameStorage buffer;
        EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_ERROR) << "the board is gone";
    }
    EXPECT_FALSE(kestrelDevice.open(nullptr));
}

TEST_F(LibusbBoardTest, ASecondProgramHoldingTheBoardIsExplained) {
    start();
    std::unique_ptr<usb::Backend> other = usb::makeLibusbBackend();
    const auto paths = other->enumerate(deviceInterfaceGuid);
    ASSERT_EQ(paths.size(), 1u);
    std::unique_ptr<usb::Interface> held = other->open(paths[0]);
    ASSERT_TRUE(held) << debug.text();
    debug.clear();
    EXPECT_FALSE(kestrelDevice.open(nullptr));
    EXPECT_NE(debug.text().find("in use by another program"), std::string::npos) << debug.text();
    held.reset();  // the other program lets go
    EXPECT_TRUE(kestrelDevice.open(nullptr)) << debug.text();
}

TEST_F(LibusbBoardTest, DescriptorsThatLie) {
    const struct {
        usbemu::Descriptors descriptors;
        bool opens;
        const char* line;
    } cases[] = {
        {usbemu::Descriptors::SecondInterface, true, nullptr},
        {usbemu::Descriptors::NoFramePipe, false, "no bulk IN endpoint 0x82"},
        {usbemu::Descriptors::ShortConfig, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.descriptors));
        backend.reset();
        board.reset();
        debug.clear();
        start(c.descriptors);
        EXPECT_EQ(kestrelDevice.open(nullptr), c.opens) << debug.text();
        if (c.line) {
            EXPECT_NE(debug.text().find(c.line), std::string::npos) << debug.text();
        }
        if (c.opens) {
            EXPECT_EQ(board->claimedInterfaces(), std::vector<unsigned>{c.descriptors == usbemu::Descriptors::SecondInterface ? 1u : 0u});
            FrameStorage buffer;
            EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
        }
        kestrelDevice.close();
        kestrelDevice.setBackend(nullptr);
    }
}

TEST_F(LibusbBoardTest, AnInterfaceThatVanishesBetweenListingAndOpening) {
    start();
    const auto paths = backend->enumerate(deviceInterfaceGuid);
    ASSERT_EQ(paths.size(), 1u);
    board->vanish();
    EXPECT_FALSE(backend->open(paths[0]));
    EXPECT_EQ(usb::lastError(), usb::kErrorNoDevice) << debug.text();
    EXPECT_NE(debug.text().find("gone"), std::string::npos) << debug.text();
}

}  // namespace
