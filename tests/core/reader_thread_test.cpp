// The frame pool and the reader thread, run against the simulated board.
// Every test starts and stops the whole capture core and checks that all
// twelve buffers are back in the pool at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "core/capture_core.h"
#include "core/device.h"
#include "core/link_stats.h"
#include "core_test_host.h"
#include "support/debug_capture.h"
#include "usb/sim/sim_board.h"

namespace {

using namespace std::chrono_literals;
using Kind = usb::SimBoard::Kind;

size_t count(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) ++n;
    return n;
}

class ReaderTest : public ::testing::Test {
protected:
    usb::SimBoard board;
    TestHost host;
    DebugCapture debug;

    void SetUp() override {
        board.setPaced(false);
        linkStats.clear();
    }
    void TearDown() override {
        usbThread_stop();
        host.releaseHeld();
        EXPECT_EQ(framePool.freeQueue.size(), kPoolSize);
        for (const FrameBuffer& b : framePool.buffers) EXPECT_EQ(b.refCount, 0);
    }
    void start() { ASSERT_TRUE(usbThread_start(host, board)); }
};

TEST_F(ReaderTest, StreamsFramesWithTheirSound) {
    start();
    EXPECT_EQ(currentDevice(), &kestrelDevice);
    ASSERT_TRUE(host.waitFrames(30));
    for (const TestHost::Delivered& d : host.frames()) {
        ASSERT_EQ(d.status, FRAME_OK);
        EXPECT_TRUE(d.audioLength == 547 * 4 || d.audioLength == 548 * 4) << d.audioLength;
        EXPECT_FALSE(d.black);
    }
    EXPECT_EQ(linkStats.errors, 0);
    EXPECT_EQ(linkStats.skips, 0);
}

TEST_F(ReaderTest, NoBoardGivesABlackErrorFrameEveryQuarterSecond) {
    board.unplug();
    start();
    EXPECT_EQ(currentDevice(), &nullDevice);
    ASSERT_TRUE(host.waitFrames(4));
    const auto frames = host.frames();
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(frames[i].status, FRAME_ERROR);
        EXPECT_EQ(frames[i].audioLength, 0);
        EXPECT_TRUE(frames[i].black);
        if (i > 0) {
            const auto gap = frames[i].at - frames[i - 1].at;
            EXPECT_GE(gap, 240ms);
            EXPECT_LT(gap, 600ms);  // generous: the machine may be busy
        }
    }
    EXPECT_GE(linkStats.errors, 4);
    EXPECT_GE(count(debug.text(), "FRAME_ERROR\n"), 4u);
    EXPECT_TRUE(board.transcript().empty()) << "the null device makes no transfer";
}

TEST_F(ReaderTest, NinthSkipInARowBecomesABlackErrorFrame) {
    board.failStartRequests(9);
    start();
    ASSERT_TRUE(host.waitFrames(2));
    const auto frames = host.frames();
    EXPECT_EQ(frames[0].status, FRAME_ERROR);
    EXPECT_TRUE(frames[0].black);
    EXPECT_EQ(frames[1].status, FRAME_OK);
    EXPECT_EQ(linkStats.skips, 8);
    EXPECT_EQ(linkStats.errors, 1);
    const std::string text = debug.text();
    EXPECT_EQ(count(text, "FRAME_SKIP\n"), 8u);
    EXPECT_EQ(count(text, "FRAME_ERROR\n"), 1u);
}

TEST_F(ReaderTest, AGoodFrameEndsASkipRun) {
    // Eight skips, a frame, eight more skips: never an error frame.
    std::atomic<int> okFrames{0};
    host.onFrame = [&](FrameBuffer* frame) {
        if (frame->status == FRAME_OK && ++okFrames == 1) board.failStartRequests(8);
    };
    board.failStartRequests(8);
    start();
    ASSERT_TRUE(host.waitFrames(3));
    usbThread_stop();
    EXPECT_EQ(linkStats.skips, 16);
    EXPECT_EQ(linkStats.errors, 0);
    for (const auto& d : host.frames()) EXPECT_EQ(d.status, FRAME_OK);
}

TEST_F(ReaderTest, StarvesWhileAllBuffersAreHeldAndResumesOnRelease) {
    host.mode = TestHost::Mode::Hold;
    start();
    ASSERT_TRUE(host.waitHeld(kPoolSize));
    const auto allHeld = std::chrono::steady_clock::now();
    // One line per 500 ms of waiting: the second comes no sooner than a second later.
    while (count(debug.text(), "read_thread starved\n") < 2 &&
           std::chrono::steady_clock::now() - allHeld < 5s)
        std::this_thread::sleep_for(10ms);
    const size_t starved = count(debug.text(), "read_thread starved\n");
    EXPECT_GE(starved, 2u);
    EXPECT_LE(starved, 3u);
    EXPECT_GE(std::chrono::steady_clock::now() - allHeld, 950ms);
    EXPECT_EQ(host.heldCount(), static_cast<size_t>(kPoolSize));
    EXPECT_EQ(linkStats.rdyQ, 0);

    host.mode = TestHost::Mode::Release;
    const size_t before = host.frameCount();
    host.releaseHeld(kPoolSize - 1);
    EXPECT_TRUE(host.waitFrames(before + 10));
}

TEST_F(ReaderTest, AFrameTheHostRefusesGoesBackToThePool) {
    host.mode = TestHost::Mode::Refuse;
    start();
    ASSERT_TRUE(host.waitFrames(3 * kPoolSize));
    EXPECT_EQ(count(debug.text(), "read_thread starved\n"), 0u);
}

TEST_F(ReaderTest, OddAudioCountIsCutToWholeSamples) {
    board.setFrameLength(kFrameVideoBytes + 547 * 4 + 2);
    start();
    ASSERT_TRUE(host.waitFrames(2));
    const auto frames = host.frames();
    EXPECT_EQ(frames[0].status, FRAME_OK);
    EXPECT_EQ(frames[0].audioLength, 547 * 4);
    EXPECT_EQ(count(debug.text(), "? odd audio byte count\n"), 1u);
}

TEST_F(ReaderTest, ArrivalWhileStreamingReopensTheBoardBetweenFrames) {
    board.setPaced(true);  // keeps the transcript short
    start();
    ASSERT_TRUE(host.waitFrames(5));
    board.clearTranscript();
    deviceArrival(deviceInterfaceGuid);
    EXPECT_EQ(currentDevice(), &kestrelDevice);
    const size_t after = host.frameCount();
    ASSERT_TRUE(host.waitFrames(after + 5));

    // The reopen ran whole under the device lock: no frame transfer inside it.
    const auto t = board.transcript();
    const auto open = std::find_if(t.begin(), t.end(), [](const auto& x) { return x.kind == Kind::Open; });
    ASSERT_NE(open, t.end());
    ASSERT_NE(open, t.begin());
    EXPECT_EQ((open - 1)->kind, Kind::Close);
    ASSERT_GE(t.end() - open, 7);
    const Kind sequence[] = {Kind::Open,        Kind::PipeTimeout, Kind::Control, Kind::Control,
                             Kind::PipeTimeout, Kind::PipeTimeout, Kind::RawIo};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(open[i].kind, sequence[i]) << i;
    EXPECT_EQ(host.frames().back().status, FRAME_OK);
}

TEST_F(ReaderTest, UnplugGivesErrorFramesUntilTheBoardArrivesAgain) {
    start();
    ASSERT_TRUE(host.waitFrames(3));
    board.unplug();
    std::this_thread::sleep_for(300ms);
    EXPECT_GE(linkStats.errors, 1);
    EXPECT_EQ(host.frames().back().status, FRAME_ERROR);

    board.replug();  // the arrival reaches the core on this thread
    EXPECT_EQ(host.arrivals, 1);
    const size_t after = host.frameCount();
    ASSERT_TRUE(host.waitFrames(after + 5));
    EXPECT_EQ(host.frames().back().status, FRAME_OK);
}

TEST_F(ReaderTest, OldFirmwareAsksForTheUpdateAndClosesWhenItFails) {
    board.setConfig(4, 5, 1);
    host.firmwareResult = 0;
    start();
    EXPECT_EQ(host.firmwareRuns, 1);
    EXPECT_EQ(host.closeRequests, 1);
    EXPECT_EQ(kestrelDevice.openState, NeedsUpdate);
    ASSERT_TRUE(host.waitFrames(1));
    EXPECT_EQ(host.frames()[0].status, FRAME_ERROR) << "a board awaiting its update is not read";

    host.firmwareResult = 1;
    deviceArrival(deviceInterfaceGuid);
    EXPECT_EQ(host.firmwareRuns, 2);
    EXPECT_EQ(host.closeRequests, 1);
}

TEST_F(ReaderTest, LastOfTwoHoldersReturnsTheBuffer) {
    // Run the core once so that the pool exists, then work on it directly.
    board.unplug();
    start();
    usbThread_stop();
    resetFramePool();
    FrameQueue& free = framePool.freeQueue;
    ASSERT_EQ(free.size(), kPoolSize);

    ASSERT_TRUE(free.semaphore.try_acquire());
    FrameBuffer* frame = free.pop();
    frame->refCount = 1;  // the dispatch's reference
    addRef(frame);        // a second window
    release(frame);
    EXPECT_EQ(free.size(), kPoolSize - 1);
    release(frame);
    EXPECT_EQ(free.size(), kPoolSize);

    // drainQueue gives back what a queue holds and passes over empty slots.
    FrameQueue recording;
    ASSERT_TRUE(free.semaphore.try_acquire());
    FrameBuffer* queued = free.pop();
    queued->refCount = 1;
    recording.push(nullptr);
    recording.push(queued);
    drainQueue(recording);
    EXPECT_EQ(recording.size(), 0);
    EXPECT_FALSE(recording.semaphore.try_acquire());
    EXPECT_EQ(free.size(), kPoolSize);
}

TEST_F(ReaderTest, CoreRestartsCleanly) {
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        start();
        ASSERT_TRUE(host.waitFrames(host.frameCount() + 3));
        usbThread_stop();
        EXPECT_EQ(currentDevice(), &nullDevice);
        EXPECT_EQ(kestrelDevice.openState, Closed);
        EXPECT_EQ(framePool.freeQueue.size(), kPoolSize);
    }
}

}  // namespace
