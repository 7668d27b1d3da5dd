// The snapshot flow: name, save thread, status line and the frame reference.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/status_line.h"
#include "display/decode.h"
#include "png_parser.h"
#include "record/snapshot.h"
#include "test_images.h"
#include "settings/settings.h"
#include "usb/sim/sim_picture.h"

using namespace pngtest;

namespace {

std::mutex statusMutex;
std::condition_variable statusChanged;
std::vector<std::string> statusLines;

void recordStatus(const std::string& text) {
    std::lock_guard<std::mutex> lock(statusMutex);
    statusLines.push_back(text);
    statusChanged.notify_all();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A decoded frame as the dispatch hands it over, held once by the test.
struct TestFrame {
    TestFrame(unsigned w, unsigned h, const std::vector<uint8_t>& rgb) : pixels(size_t(w) * h) {
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2] | 0xFF000000u;
        frame.displayImage = pixels.data();
        frame.layout.imageWidth = int32_t(w);
        frame.layout.imageHeight = int32_t(h);
        frame.refCount = 1;
    }
    int32_t refCount() {
        std::lock_guard<std::mutex> lock(frame.mutex);
        return frame.refCount;
    }
    std::vector<uint32_t> pixels;
    FrameBuffer frame;
};

class SnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        char path[] = "/tmp/kc_snap_XXXXXX";
        ASSERT_NE(mkdtemp(path), nullptr);
        dir_ = path;
        ASSERT_EQ(getcwd(oldCwd_, sizeof oldCwd_), oldCwd_);
        ASSERT_TRUE(applyOutputFolder(dir_));
        {
            std::lock_guard<std::mutex> lock(statusMutex);
            statusLines.clear();
        }
        setStatusLineHandler(recordStatus);
    }
    void TearDown() override {
        setStatusLineHandler(nullptr);
        if (chdir(oldCwd_) != 0) ADD_FAILURE() << "chdir back";
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    // The save threads are detached: their status lines are the only sign of the end.
    std::vector<std::string> waitForStatus(size_t count) {
        std::unique_lock<std::mutex> lock(statusMutex);
        statusChanged.wait_for(lock, std::chrono::seconds(20), [&] { return statusLines.size() >= count; });
        return statusLines;
    }
    std::string dir_;
    char oldCwd_[4096];
};

TEST_F(SnapshotTest, NumbersFromTheFirstFreeNameAndGivesTheFrameBack) {
    for (const char* taken : {"00000.png", "00001.png", "00002.png"}) std::fclose(std::fopen(taken, "wb"));
    const std::vector<uint8_t> rgb = frameLikeImage(400, 480);
    TestFrame frame(400, 480, rgb);

    // Two in flight at once must still get different names.
    saveSnapshot(&frame.frame);
    saveSnapshot(&frame.frame);
    std::vector<std::string> lines = waitForStatus(2);
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines, (std::vector<std::string>{"Saved " + dir_ + "/00003.png", "Saved " + dir_ + "/00004.png"}));
    EXPECT_EQ(frame.refCount(), 1);

    for (const char* name : {"00003.png", "00004.png"}) {
        unsigned w = 0, h = 0;
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(readWithLibpng(dir_ + "/" + name, w, h, decoded)) << name;
        EXPECT_EQ(w, 400u);
        EXPECT_EQ(h, 480u);
        EXPECT_TRUE(decoded == rgb) << name;
    }
}

// The demo board's picture through the real decoding, in every display type:
// the file has the display image's size and pixels, and the strips beside the
// bottom screen in "2D" are saved black.
TEST_F(SnapshotTest, SavesTheDecodedPictureOfEachDisplayType) {
    std::vector<uint8_t> video(kVideoStorageAllocBytes);
    usb::drawStillPicture(video.data());
    usb::drawMovingParts(video.data(), 30);
    for (uint32_t type = 1; type <= 6; ++type) {
        SCOPED_TRACE(type);
        FrameBuffer frame;
        frame.videoStorage = video.data();
        frame.refCount = 1;
        settings.displayType = type;
        decodeFrame(&frame);
        const unsigned w = unsigned(frame.layout.imageWidth), h = unsigned(frame.layout.imageHeight);
        ASSERT_EQ(w, unsigned(displayTypeTable[type].imageWidth));

        saveSnapshot(&frame);
        std::vector<std::string> lines = waitForStatus(type);
        ASSERT_EQ(lines.size(), type);
        char name[16];
        std::snprintf(name, sizeof name, "%05u.png", type - 1);
        EXPECT_EQ(lines.back(), "Saved " + dir_ + "/" + name);
        EXPECT_EQ(frame.refCount, 1);

        unsigned fw = 0, fh = 0;
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(readWithLibpng(dir_ + "/" + name, fw, fh, decoded));
        ASSERT_EQ(fw, w);
        ASSERT_EQ(fh, h);
        bool same = true;
        for (size_t i = 0; i < size_t(w) * h && same; ++i) {
            const uint32_t px = frame.displayImage[i];
            same = decoded[3 * i] == uint8_t(px >> 16) && decoded[3 * i + 1] == uint8_t(px >> 8) &&
                   decoded[3 * i + 2] == uint8_t(px);
        }
        EXPECT_TRUE(same);
        if (type == 1) {
            bool black = true;
            for (unsigned y = 240; y < 480; ++y)
                for (unsigned x : {0u, 39u, 360u, 399u})
                    for (int c = 0; c < 3; ++c) black = black && decoded[(size_t(y) * 400 + x) * 3 + size_t(c)] == 0;
            EXPECT_TRUE(black);
        }
        freeDisplayImage(&frame);
    }
}

TEST_F(SnapshotTest, UnwritableFolderFailsAndGivesTheFrameBack) {
    TestFrame frame(256, 384, frameLikeImage(256, 384));
    // The output folder disappears under us: nothing can be created in it.
    ASSERT_EQ(rmdir(dir_.c_str()), 0);
    saveSnapshot(&frame.frame);
    EXPECT_EQ(waitForStatus(1), std::vector<std::string>{".png save failed."});
    EXPECT_EQ(frame.refCount(), 1);
}

TEST_F(SnapshotTest, FailedWriteLeavesNoPartialFile) {
    TestFrame frame(400, 480, noiseImage(400, 480, 5));
    // Files may not grow past 4 KiB for now: the write fails part way.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    saveSnapshot(&frame.frame);
    std::vector<std::string> lines = waitForStatus(1);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(lines, std::vector<std::string>{".png save failed."});
    EXPECT_FALSE(exists(dir_ + "/00000.png"));
    EXPECT_EQ(frame.refCount(), 1);
}

}  // namespace
