// The simulated board itself: its picture, its sound, its clock and its
// reconfiguration, as seen through the device link.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/device.h"
#include "support/debug_capture.h"
#include "usb/sim/sim_board.h"

namespace {

using namespace std::chrono_literals;
using usb::SimBoard;

struct LooseBuffer {
    std::vector<uint8_t> storage = std::vector<uint8_t>(kVideoStorageAllocBytes);
    FrameBuffer frame;
    LooseBuffer() { frame.videoStorage = storage.data(); }
    // Screen pixel (x, y) of the top or bottom screen, from the board's column order.
    SimBoard::Rgb pixel(bool bottom, int x, int y) const {
        const uint8_t* p = storage.data() + 720 * (x + (bottom ? 400 : 0)) + 3 * (239 - y);
        return {p[0], p[1], p[2]};
    }
};

class SimBoardTest : public ::testing::Test {
protected:
    SimBoard board;
    DebugCapture debug;
    void SetUp() override {
        kestrelDevice.setBackend(&board);
        ASSERT_TRUE(kestrelDevice.open(nullptr));
    }
    void TearDown() override {
        kestrelDevice.close();
        kestrelDevice.setBackend(nullptr);
    }
};

TEST_F(SimBoardTest, FramesCarryThePredictedPictureAndTone) {
    board.setPaced(false);
    LooseBuffer buffer;
    for (uint64_t frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE(frame);
        ASSERT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
        int wrong = 0;
        for (int bottom = 0; bottom < 2; ++bottom)
            for (int x = 0; x < (bottom ? 320 : 400); ++x)
                for (int y = 0; y < 240; ++y)
                    wrong += !(buffer.pixel(bottom, x, y) == SimBoard::expectedPixel(frame, bottom, x, y));
        EXPECT_EQ(wrong, 0);

        ASSERT_EQ(buffer.frame.audioLength, static_cast<int32_t>(4 * SimBoard::samplesInFrame(frame)));
        const auto* samples = reinterpret_cast<const int16_t*>(buffer.frame.audioData);
        const uint64_t first = SimBoard::firstSample(frame);
        for (uint32_t i = 0; i < SimBoard::samplesInFrame(frame); ++i) {
            ASSERT_EQ(samples[2 * i], SimBoard::toneSample(first + i, 0));
            ASSERT_EQ(samples[2 * i + 1], SimBoard::toneSample(first + i, 1));
        }
    }
}

// What other areas rely on to tell a picture the right way up.
TEST(SimPicture, OrientationIsUnmistakable) {
    using R = SimBoard::Rgb;
    const R white{255, 255, 255};
    for (bool bottom : {false, true}) {
        const int width = bottom ? 320 : 400;
        EXPECT_EQ(SimBoard::expectedPixel(0, bottom, 0, 0), white);           // top-left marker
        EXPECT_NE(SimBoard::expectedPixel(0, bottom, width - 1, 0), white);
        EXPECT_NE(SimBoard::expectedPixel(0, bottom, 0, 239), white);
    }
    // Top screen: red grows to the right, green downwards; bottom: green to
    // the right, blue downwards.
    const R topLeft = SimBoard::expectedPixel(0, false, 20, 200);
    const R topRight = SimBoard::expectedPixel(0, false, 390, 200);
    const R topUp = SimBoard::expectedPixel(0, false, 390, 20);
    EXPECT_LT(topLeft.r, 30);
    EXPECT_GT(topRight.r, 240);
    EXPECT_LT(topUp.g, 30);
    EXPECT_GT(topRight.g, 200);
    const R bottomLeft = SimBoard::expectedPixel(0, true, 20, 220);
    const R bottomRight = SimBoard::expectedPixel(0, true, 310, 220);
    const R bottomUp = SimBoard::expectedPixel(0, true, 310, 20);
    EXPECT_LT(bottomLeft.g, 30);
    EXPECT_GT(bottomRight.g, 240);
    EXPECT_LT(bottomUp.b, 30);
    EXPECT_GT(bottomRight.b, 200);
    EXPECT_NE(topRight, bottomRight);

    // Something moves from one frame to the next.
    int changed = 0;
    for (int x = 0; x < 400; ++x) changed += !(SimBoard::expectedPixel(7, false, x, 120) == SimBoard::expectedPixel(8, false, x, 120));
    EXPECT_GT(changed, 0);
}

TEST(SimSound, SampleCountsCarryTheFraction) {
    // 5983 frames last exactly 100 s at 59.83 per second.
    uint64_t total = 0;
    for (uint64_t k = 0; k < 5983; ++k) {
        const uint32_t n = SimBoard::samplesInFrame(k);
        ASSERT_TRUE(n == 547 || n == 548) << k;
        total += n;
    }
    EXPECT_EQ(total, 3272800u);
    EXPECT_EQ(SimBoard::firstSample(5983 * 7), 3272800u * 7);
    // Left and right are different tones.
    int differ = 0;
    for (uint64_t n = 0; n < 100; ++n) differ += SimBoard::toneSample(n, 0) != SimBoard::toneSample(n, 1);
    EXPECT_GT(differ, 90);
}

TEST_F(SimBoardTest, PacedBoardKeepsTheConsoleFrameRate) {
    LooseBuffer buffer;
    ASSERT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 12; ++i) ASSERT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, 180ms);  // 11 to 12 periods of 16.7 ms: the first wait may be partial
    // A reader that falls behind is not made to catch up: late frames are dropped.
    const uint64_t before = board.nextFrameNumber();
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
    EXPECT_GE(board.nextFrameNumber() - before, 5u);
    EXPECT_EQ(board.framesDelivered(), 14u);

    // A start request whose time-out ends before the next frame is due times out.
    // (Tried a few times: on a busy machine the next frame may be due already.)
    int status = FRAME_OK;
    for (int attempt = 0; attempt < 10 && status != FRAME_SKIP; ++attempt) {
        ASSERT_TRUE(kestrelDevice.setPipeTimeout(0, 30));
        kestrelDevice.readFrame(&buffer.frame);
        ASSERT_TRUE(kestrelDevice.setPipeTimeout(0, 2));
        status = kestrelDevice.readFrame(&buffer.frame);
    }
    EXPECT_EQ(status, FRAME_SKIP);
    EXPECT_EQ(usb::lastError(), usb::kErrorSemTimeout);
}

TEST_F(SimBoardTest, ReconfigureLeavesTheBusAndComesBackWithCurrentFirmware) {
    board.setConfig(4, 5, 3, 9);
    board.setReconfigureDelay(50);
    std::atomic<int> arrivals{0};
    std::atomic<std::thread::id> arrivalThread{};
    board.setArrivalHandler([&](const usb::Guid& g) {
        EXPECT_EQ(g, deviceInterfaceGuid);
        arrivalThread = std::this_thread::get_id();
        ++arrivals;
    });
    ASSERT_TRUE(kestrelDevice.open(nullptr));
    ASSERT_EQ(kestrelDevice.openState, NeedsUpdate);

    const uint8_t command[2] = {0xFF, 0x01};
    EXPECT_TRUE(kestrelDevice.controlWrite(REQ_PORT, CONFIG_PORT, 2, command));
    EXPECT_FALSE(kestrelDevice.controlWrite(REQ_PORT, CONFIG_PORT, 2, command));
    EXPECT_EQ(usb::lastError(), usb::kErrorNoDevice);
    EXPECT_FALSE(board.present());

    for (int i = 0; i < 200 && arrivals == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(arrivals, 1);
    EXPECT_NE(arrivalThread.load(), std::this_thread::get_id());
    EXPECT_TRUE(board.present());
    // The old handle stays dead; a new open finds the current firmware.
    uint8_t config[4];
    EXPECT_FALSE(readConfig(&kestrelDevice, 4, config));
    ASSERT_TRUE(kestrelDevice.open(nullptr));
    EXPECT_EQ(kestrelDevice.openState, Streaming);
    ASSERT_TRUE(readConfig(&kestrelDevice, 4, config));
    EXPECT_EQ(config[0], 4);
    EXPECT_EQ(config[1], 8);
    EXPECT_EQ(config[3], 9);
    board.setArrivalHandler({});
}

}  // namespace
