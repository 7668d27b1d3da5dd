// The device link through libusb's own Linux backend, against the emulated
// board: discovery, open, the configuration and its decision, the stream.
#include <chrono>
#include <filesystem>
#include <fstream>

#include "libusb/libusb_fixture.h"

namespace {

using usb::SimBoard;

SimBoard::Rgb pixel(const FrameStorage& b, bool bottom, int x, int y) {
    const uint8_t* p = b.storage.data() + 720 * (x + (bottom ? 400 : 0)) + 3 * (239 - y);
    return {p[0], p[1], p[2]};
}

TEST_F(LibusbBoardTest, TheIdsFileDecidesWhatIsABoard) {
    start(usbemu::Descriptors::Board, false);
    const std::string ids = folder + "/Wren Capture/usb-ids";
    const struct {
        const char* text;  // null: no file
        size_t boards;
    } cases[] = {{nullptr, 0}, {"1209:4b44\n", 0}, {"# no ids\n\n", 0}, {"1209:4B43\n", 1}, {"0000:0001\n1209:4b43 # it\n", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(no file)");
        std::filesystem::remove(ids);
        if (c.text) std::ofstream(ids) << c.text;
        EXPECT_EQ(backend->enumerate(deviceInterfaceGuid).size(), c.boards);
    }
    EXPECT_TRUE(backend->enumerate(usb::Guid{}).empty()) << "another interface class";
}

TEST_F(LibusbBoardTest, TheConfigurationDecidesBetweenUpdateAndStreaming) {
    start();
    const struct {
        uint8_t major, minor;
        int32_t state;
    } cases[] = {{8, 0, Streaming}, {7, 3, Streaming}, {5, 0, NeedsUpdate}, {6, 1, NeedsUpdate}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor));
        model.setConfig(4, c.major, c.minor);
        ASSERT_TRUE(kestrelDevice.open(nullptr)) << debug.text();
        EXPECT_EQ(kestrelDevice.openState, c.state);
        EXPECT_NE(debug.text().find("firmware v" + std::to_string(c.major)), std::string::npos);
        kestrelDevice.close();
    }
}

TEST_F(LibusbBoardTest, EveryPipeIsBoundedFromTheMomentTheHandleOpens) {
    // A board awaiting its update never gets the streaming time-outs: a read
    // with nothing to deliver must still end, and say it timed out.
    model.setConfig(4, 5, 0);
    start();
    ASSERT_TRUE(kestrelDevice.open(nullptr));
    ASSERT_EQ(kestrelDevice.openState, NeedsUpdate);
    uint8_t data[512];
    uint32_t got = 1;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(kestrelDevice.bulkRead(data, sizeof data, &got));
    EXPECT_EQ(usb::lastError(), usb::kErrorSemTimeout);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(4));
    // 0 asked for later means the longest bound, not for ever.
    ASSERT_TRUE(kestrelDevice.setPipeTimeout(kFramePipe, 0));
    EXPECT_FALSE(kestrelDevice.bulkRead(data, sizeof data, &got));
    EXPECT_EQ(usb::lastError(), usb::kErrorSemTimeout);
}

TEST_F(LibusbBoardTest, FramesComeAtTheBoardsPaceWithPictureAndSoundIntact) {
    start();
    ASSERT_TRUE(kestrelDevice.open(nullptr)) << debug.text();
    ASSERT_EQ(kestrelDevice.openState, Streaming);
    FrameStorage buffer;
    ASSERT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK) << debug.text();
    const auto first = std::chrono::steady_clock::now();
    const uint64_t firstNumber = model.nextFrameNumber();
    constexpr int kFrames = 30;
    int ok = 0;
    for (int i = 0; i < kFrames; ++i) {
        if (kestrelDevice.readFrame(&buffer.frame) != FRAME_OK) continue;
        ++ok;
        const uint64_t frame = model.nextFrameNumber() - 1;
        if (i % 10 != 0) continue;  // check every tenth in full
        SCOPED_TRACE(frame);
        int wrong = 0;
        for (int bottom = 0; bottom < 2; ++bottom)
            for (int x = 0; x < (bottom ? 320 : 400); ++x)
                for (int y = 0; y < 240; ++y)
                    wrong += !(pixel(buffer, bottom, x, y) == SimBoard::expectedPixel(frame, bottom, x, y));
        EXPECT_EQ(wrong, 0);
        ASSERT_EQ(buffer.frame.audioLength, static_cast<int32_t>(4 * SimBoard::samplesInFrame(frame)));
        const auto* samples = reinterpret_cast<const int16_t*>(buffer.frame.audioData);
        int bad = 0;
        for (uint32_t s = 0; s < SimBoard::samplesInFrame(frame); ++s)
            bad += samples[2 * s] != SimBoard::toneSample(SimBoard::firstSample(frame) + s, 0) ||
                   samples[2 * s + 1] != SimBoard::toneSample(SimBoard::firstSample(frame) + s, 1);
        EXPECT_EQ(bad, 0);
    }
    EXPECT_GE(ok, kFrames - 3) << debug.text();
    // Paced by the board: 30 frames take about half a second, never less
    // than the board needs to make them.
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
    const uint64_t made = model.nextFrameNumber() - firstNumber;
    EXPECT_GE(seconds, (made - 1) / SimBoard::kFramesPerSecond * 0.9);
}

TEST_F(LibusbBoardTest, AStartRequestThatTimesOutSkipsOneFrame) {
    start();
    ASSERT_TRUE(kestrelDevice.open(nullptr));
    FrameStorage buffer;
    model.failStartRequests(1);
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_SKIP);
    EXPECT_EQ(usb::lastError(), usb::kErrorSemTimeout);
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
}

TEST_F(LibusbBoardTest, FailingTransfersAtEveryStepEndCleanly) {
    start();
    FrameStorage buffer;
    struct Case {
        const char* what;
        std::function<void()> fault;
        bool opens;
        int frame;  // what readFrame gives after a successful open
    };
    const Case cases[] = {
        {"config read stalls", [&] { model.failControl(2, usb::kErrorGenFailure); }, false, 0},
        {"config read times out", [&] { model.failControl(2, usb::kErrorSemTimeout); }, false, 0},
        {"start request stalls", [&] { model.failControl(0, 0); }, true, FRAME_OK},
        {"one bulk read fails", [&] { model.failReads(1, usb::kErrorGenFailure); }, true, FRAME_OK},
        {"bulk reads fail", [&] { model.failReadsAfter(0, 50, usb::kErrorGenFailure); }, true, FRAME_SKIP},
        {"reads fail mid-frame", [&] { model.setMaxReadBytes(65536), model.failReadsAfter(3, 2, usb::kErrorGenFailure); }, true, FRAME_SKIP},
        {"a frame longer than its storage", [&] { model.setFrameLength(SimBoard::kMaxFrameBytes); }, true, FRAME_OK},
        {"a short frame", [&] { model.setFrameLength(518399); }, true, FRAME_SKIP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        model.setMaxReadBytes(0);
        model.failReads(0, 0);
        c.fault();
        const bool opened = kestrelDevice.open(nullptr);
        EXPECT_EQ(opened, c.opens) << debug.text();
        if (opened) {
            const int result = kestrelDevice.readFrame(&buffer.frame);
            if (c.frame == FRAME_OK) {
                // A lone failed read is retried and the frame completes, or the frame is skipped.
                EXPECT_NE(result, FRAME_ERROR);
            } else {
                EXPECT_EQ(result, c.frame);
            }
            EXPECT_LE(buffer.frame.audioLength, static_cast<int32_t>(kVideoStorageAllocBytes - kFrameVideoBytes));
            model.failReadsAfter(0, 0, 0);
            int next = FRAME_ERROR;
            for (int i = 0; i < 3 && next != FRAME_OK; ++i) next = kestrelDevice.readFrame(&buffer.frame);
            EXPECT_EQ(next, FRAME_OK) << "the link recovers";
        } else {
            EXPECT_NE(debug.text().find("Kestrel config read failed."), std::string::npos);
        }
        kestrelDevice.close();
    }
}

}  // namespace
