// The update through the device link on the simulated board, as the
// application runs it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "../tools/synthetic_image.h"
#include "core/device.h"
#include "firmware/firmware_resources.h"
#include "firmware/firmware_update.h"
#include "support/private_folders.h"
#include "usb/sim/sim_board.h"

namespace {

int lastProgress = -1;
void keepProgress(int thousandths) { lastProgress = thousandths; }

class DeviceUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        stream_ = synthetic::compress(image_);
        table_[0] = {104, stream_.data(), stream_.size()};
        setFirmwareResources(table_, 1);
    }
    void TearDown() override {
        kestrelDevice.close();
        kestrelDevice.setBackend(nullptr);
        setFirmwareResources(nullptr, 0);
    }
    static void prepare(usb::SimBoard& board) {
        board.setConfig(4, 5, 0, 0);
        board.setReconfigureDelay(20);
        board.flash().setTimeScale(0);
        board.flash().loadFactoryContent(4);
        kestrelDevice.setBackend(&board);
        ASSERT_TRUE(kestrelDevice.open(nullptr));
        ASSERT_EQ(kestrelDevice.openState, NeedsUpdate);
    }
    static bool boardDataIntact(usb::SimBoard& board) {
        uint8_t first[8], second[128];
        usb::SimFlash::boardData(4, first, second);
        return std::memcmp(board.flash().data() + 0x7E000, first, 8) == 0 &&
               std::memcmp(board.flash().data() + 0x7F080, second, 128) == 0;
    }

    PrivateFolders folders;
    usb::SimBoard board;  // outlives TearDown, which closes the device on it
    const std::vector<uint8_t> image_ = synthetic::image(4);
    std::vector<uint8_t> stream_;
    FirmwareResource table_[1];
};

TEST_F(DeviceUpdate, ProgramsTheBoardWhichThenComesBackUpToDate) {
    prepare(board);
    lastProgress = -1;
    ASSERT_EQ(updateFirmware(kestrelDevice, keepProgress), 0);
    EXPECT_EQ(lastProgress, 999);
    EXPECT_EQ(kestrelDevice.flashId, 0x01841Fu);
    EXPECT_TRUE(std::equal(image_.begin(), image_.end(), board.flash().data()));
    EXPECT_TRUE(boardDataIntact(board));
    // The reload made the board leave the bus; it returns with new firmware.
    for (int i = 0; i < 200 && !board.present(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(board.present());
    EXPECT_EQ(board.config()[1], 8);
}

TEST_F(DeviceUpdate, UnpluggedWhileProgrammingThenRetried) {
    uint64_t transfers;
    {
        usb::SimBoard twin;
        prepare(twin);
        ASSERT_EQ(updateFirmware(kestrelDevice, keepProgress), 0);
        transfers = twin.flash().transfers();
        kestrelDevice.close();
    }

    prepare(board);
    // Pulled out a few pages before the end of the image: the last block,
    // with the board's data, is already erased.
    board.flash().unplugAfter(transfers - 60);
    EXPECT_EQ(updateFirmware(kestrelDevice, keepProgress), 385);
    board.unplug();
    EXPECT_EQ(board.flash().data()[0x7E000], 0xFF);

    board.flash().attach();
    board.replug();
    ASSERT_TRUE(kestrelDevice.open(nullptr));
    ASSERT_EQ(kestrelDevice.openState, NeedsUpdate);
    ASSERT_EQ(updateFirmware(kestrelDevice, keepProgress), 0);
    EXPECT_TRUE(std::equal(image_.begin(), image_.end(), board.flash().data()));
    EXPECT_TRUE(boardDataIntact(board));
}

}  // namespace
