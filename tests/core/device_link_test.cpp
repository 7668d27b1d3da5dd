// The device link against the simulated board, asserting on the board's
// transcript of transfers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "support/debug_capture.h"
#include "usb/sim/sim_board.h"

namespace {

using Kind = usb::SimBoard::Kind;
using Transfer = usb::SimBoard::Transfer;

// A FrameBuffer with its own storage, outside the pool.
struct LooseBuffer {
    std::vector<uint8_t> storage = std::vector<uint8_t>(kVideoStorageAllocBytes);
    FrameBuffer frame;
    LooseBuffer() { frame.videoStorage = storage.data(); }
};

class DeviceLinkTest : public ::testing::Test {
protected:
    usb::SimBoard board;
    DebugCapture debug;

    void SetUp() override {
        board.setPaced(false);
        kestrelDevice.setBackend(&board);
    }
    void TearDown() override {
        kestrelDevice.close();
        setCurrentDevice(&nullDevice);
        kestrelDevice.setBackend(nullptr);
    }
    void openStreaming() {
        ASSERT_TRUE(kestrelDevice.open(nullptr));
        ASSERT_EQ(kestrelDevice.openState, Streaming);
        board.clearTranscript();
    }
    std::vector<Transfer> reads() {
        std::vector<Transfer> out;
        for (const Transfer& t : board.transcript())
            if (t.kind == Kind::Read) out.push_back(t);
        return out;
    }
};

TEST_F(DeviceLinkTest, FirmwareMajorDecidesBetweenUpdateAndStreaming) {
    struct Case {
        uint8_t major;
        OpenState state;
    };
    for (const Case c : {Case{0, Streaming}, Case{4, Streaming}, Case{5, NeedsUpdate}, Case{6, NeedsUpdate},
                         Case{7, Streaming}, Case{8, Streaming}}) {
        SCOPED_TRACE(static_cast<int>(c.major));
        board.setConfig(3, c.major, 2);
        kestrelDevice.close();
        board.clearTranscript();
        debug.clear();
        ASSERT_TRUE(kestrelDevice.open(nullptr));
        EXPECT_EQ(kestrelDevice.openState, c.state);
        EXPECT_EQ(debug.text(),
                  "opening sim:0\nhardware v3, firmware v" + std::to_string(c.major) + ".2\n");

        const std::vector<Transfer> t = board.transcript();
        ASSERT_GE(t.size(), 4u);
        EXPECT_EQ(t[0].kind, Kind::Open);
        EXPECT_EQ(t[1].kind, Kind::PipeTimeout);
        EXPECT_EQ(t[1].pipe, 0);
        EXPECT_EQ(t[1].requested, 500u);
        // The configuration read: OUT 0x00, then IN 3 bytes.
        EXPECT_EQ(t[2].kind, Kind::Control);
        EXPECT_EQ(t[2].setup.bmRequestType, 0x40);
        EXPECT_EQ(t[2].setup.bRequest, REQ_PORT);
        EXPECT_EQ(t[2].setup.wValue, CONFIG_PORT);
        EXPECT_EQ(t[2].setup.wIndex, 0);
        EXPECT_EQ(t[2].setup.wLength, 1);
        EXPECT_EQ(t[3].setup.bmRequestType, 0xC0);
        EXPECT_EQ(t[3].setup.wLength, 3);
        EXPECT_EQ(t[3].moved, 3u);
        if (c.state == NeedsUpdate) {
            EXPECT_EQ(t.size(), 4u) << "no streaming policies for an old firmware";
        } else {
            ASSERT_EQ(t.size(), 7u);
            EXPECT_EQ(t[4].kind, Kind::PipeTimeout);
            EXPECT_EQ(t[4].pipe, 0);
            EXPECT_EQ(t[4].requested, 30u);
            EXPECT_EQ(t[5].kind, Kind::PipeTimeout);
            EXPECT_EQ(t[5].pipe, kFramePipe);
            EXPECT_EQ(t[5].requested, 50u);
            EXPECT_EQ(t[6].kind, Kind::RawIo);
            EXPECT_EQ(t[6].pipe, kFramePipe);
            EXPECT_EQ(t[6].requested, 1u);
        }
    }
}

TEST_F(DeviceLinkTest, BoardThatCannotBeOpenedOrConfiguredLeavesTheDeviceClosed) {
    board.failControl(1, usb::kErrorGenFailure);
    EXPECT_FALSE(kestrelDevice.open(nullptr));
    EXPECT_EQ(kestrelDevice.openState, Closed);
    EXPECT_EQ(debug.text(), "opening sim:0\nKestrel config read failed.\n");
    EXPECT_EQ(board.transcript().back().kind, Kind::Close);

    board.unplug();
    board.clearTranscript();
    EXPECT_FALSE(kestrelDevice.open(nullptr));
    EXPECT_TRUE(board.transcript().empty()) << "nothing enumerated, nothing opened";
}

TEST_F(DeviceLinkTest, ForeignGuidLeavesAnOpenBoardAloneButConnectDeviceStillCloses) {
    openStreaming();
    usb::Guid other = deviceInterfaceGuid;
    other.bytes[15] ^= 0x01;

    EXPECT_FALSE(kestrelDevice.open(&other));
    EXPECT_EQ(kestrelDevice.openState, Streaming);
    EXPECT_TRUE(board.transcript().empty());
    LooseBuffer buffer;
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK) << "the open board still streams";

    setCurrentDevice(&kestrelDevice);
    board.clearTranscript();
    EXPECT_FALSE(connectDevice(&other));
    EXPECT_EQ(currentDevice(), &nullDevice);
    EXPECT_EQ(kestrelDevice.openState, Closed);
    const std::vector<Transfer> t = board.transcript();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].kind, Kind::Close);

    EXPECT_TRUE(connectDevice(&deviceInterfaceGuid));
    EXPECT_EQ(currentDevice(), &kestrelDevice);
}

TEST_F(DeviceLinkTest, ControlWriteWithoutDataSendsNoDataStage) {
    openStreaming();
    EXPECT_TRUE(kestrelDevice.controlWrite(REQ_PORT, CONFIG_PORT, 5, nullptr));
    const std::vector<Transfer> t = board.transcript();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(t[0].setup.wLength, 0);
    EXPECT_EQ(t[0].requested, 0u);

    // Closed, every primitive fails.
    kestrelDevice.close();
    uint8_t byte = 0;
    uint32_t received = 7;
    EXPECT_FALSE(kestrelDevice.controlWrite(REQ_PORT, CONFIG_PORT, 1, &byte));
    EXPECT_EQ(kestrelDevice.controlRead(REQ_PORT, CONFIG_PORT, 1, &byte), -1);
    EXPECT_FALSE(kestrelDevice.bulkRead(&byte, 1, &received));
    EXPECT_EQ(received, 0u);
    EXPECT_FALSE(kestrelDevice.setPipeTimeout(0, 500));
}

TEST_F(DeviceLinkTest, ReadConfigChecksItsLengthBeforeAnyTransfer) {
    openStreaming();
    uint8_t data[300] = {};
    for (int n : {0, 257, -1}) {
        SCOPED_TRACE(n);
        debug.clear();
        EXPECT_FALSE(readConfig(&kestrelDevice, n, data));
        EXPECT_EQ(debug.text(), "Kestrel config read failed.\n");
    }
    EXPECT_TRUE(board.transcript().empty());

    board.setConfig(6, 7, 1, 0x5A);
    EXPECT_TRUE(readConfig(&kestrelDevice, 4, data));
    EXPECT_EQ(data[0], 6);
    EXPECT_EQ(data[1], 7);
    EXPECT_EQ(data[2], 1);
    EXPECT_EQ(data[3], 0x5A);
    EXPECT_TRUE(readConfig(&kestrelDevice, 256, data));
    EXPECT_FALSE(readConfig(&nullDevice, 4, data));
}

// Frame lengths around the limits: the status, the audio count and the
// exact read requests.
TEST_F(DeviceLinkTest, ReadFrameLengthLimits) {
    struct Case {
        uint32_t length;
        int status;
        int32_t audio;
        std::vector<uint32_t> requests;
    };
    const Case cases[] = {
        {518399, FRAME_SKIP, 0, {526848, 8704}},
        {518400, FRAME_OK, 0, {526848, 8192}},
        {520588, FRAME_OK, 2188, {526848, 6144}},
        {526592, FRAME_OK, 8192, {526848}},    // storage full: no further read
        {526848, FRAME_OK, 8192, {526848}},    // a whole last packet past the storage: cut to it
        {530000, FRAME_OK, 8192, {526848}},    // longer than the storage: cut
        {0, FRAME_SKIP, 0, {526848}},          // an empty frame
    };
    openStreaming();
    LooseBuffer buffer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        board.setFrameLength(c.length);
        board.clearTranscript();
        buffer.frame.audioLength = -5;
        EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), c.status);
        EXPECT_EQ(buffer.frame.audioLength, c.audio);
        if (c.status == FRAME_OK) {
            EXPECT_EQ(buffer.frame.audioData, buffer.storage.data() + kFrameVideoBytes);
        }

        const std::vector<Transfer> t = board.transcript();
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(t[0].kind, Kind::Control);
        EXPECT_EQ(t[0].setup.bRequest, REQ_START_FRAME);
        EXPECT_EQ(t[0].setup.wLength, 0);
        std::vector<uint32_t> requests;
        for (const Transfer& r : reads()) {
            EXPECT_EQ(r.pipe, kFramePipe);
            requests.push_back(r.requested);
        }
        EXPECT_EQ(requests, c.requests);
    }
}

// One failed empty read after a good one is tolerated; two in a row end the frame.
TEST_F(DeviceLinkTest, ReadFrameToleratesOneFailedEmptyRead) {
    openStreaming();
    board.setMaxReadBytes(300000);
    LooseBuffer buffer;

    board.setFrameLength(520000);
    board.failReadsAfter(1, 1, usb::kErrorGenFailure);
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
    EXPECT_EQ(buffer.frame.audioLength, 1600);
    std::vector<Transfer> r = reads();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].moved, 300000u);
    EXPECT_FALSE(r[1].ok);
    EXPECT_EQ(r[2].moved, 220000u);
    EXPECT_TRUE(r[3].ok);
    EXPECT_EQ(r[3].moved, 0u);

    board.clearTranscript();
    board.setFrameLength(520000);
    board.failReadsAfter(1, 2, usb::kErrorGenFailure);
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_SKIP);
    EXPECT_EQ(reads().size(), 3u);

    // The very first read may fail once, too.
    board.clearTranscript();
    board.setMaxReadBytes(0);
    board.failReads(1, usb::kErrorGenFailure);
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);
    EXPECT_EQ(reads().size(), 3u);
}

TEST_F(DeviceLinkTest, FailedStartRequestIsSkipOnTimeOutAndErrorOtherwise) {
    openStreaming();
    LooseBuffer buffer;
    board.failStartRequests(1);
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_SKIP);
    board.failControl(1, usb::kErrorGenFailure);
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_ERROR);
    EXPECT_TRUE(reads().empty());
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK);

    board.unplug();
    EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_ERROR);
    EXPECT_EQ(buffer.frame.audioLength, 0);
    EXPECT_EQ(nullDevice.readFrame(&buffer.frame), FRAME_ERROR);
}

}  // namespace
