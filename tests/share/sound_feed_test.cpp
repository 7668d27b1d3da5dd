#include "share/sound_feed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Sample frames numbered 1, 2, 3 ... in both channels.
struct Counter {
    int16_t next = 1;
    std::vector<uint8_t> bytes(int frames) {
        std::vector<uint8_t> out(size_t(frames) * 4);
        for (int i = 0; i < frames; ++i, ++next)
            for (int c = 0; c < 2; ++c) {
                out[size_t(i) * 4 + c * 2] = uint8_t(next);
                out[size_t(i) * 4 + c * 2 + 1] = uint8_t(next >> 8);
            }
        return out;
    }
};

TEST(SoundFeed, WaitsForTheTargetThenPlaysInOrderAndFallsSilentWhenDry) {
    SoundFeed feed;
    Counter counter;
    std::vector<int16_t> out(2 * 700, -1);
    feed.push(counter.bytes(1000).data(), 1000 * 4);
    feed.pull(out.data(), 700);  // 1000 < 820 + 700: still priming
    for (int16_t s : out) ASSERT_EQ(s, 0);
    feed.push(counter.bytes(1000).data(), 1000 * 4 + 3);  // the partial frame is ignored
    feed.pull(out.data(), 700);
    for (int i = 0; i < 700; ++i) ASSERT_EQ(out[size_t(i) * 2], i + 1) << i;
    feed.pull(out.data(), 700);
    feed.pull(out.data(), 700);  // 600 left: they, then silence
    EXPECT_EQ(out[0], 1401);
    EXPECT_EQ(out[599 * 2 + 1], 2000);
    EXPECT_EQ(out[600 * 2], 0);
    EXPECT_EQ(feed.counts().underruns, 1);
}

TEST(SoundFeed, AStallIsCutBackToTheTarget) {
    SoundFeed feed;
    Counter counter;
    feed.push(counter.bytes(20000).data(), 20000 * 4);
    std::vector<int16_t> out(2 * 700);
    feed.pull(out.data(), 700);
    EXPECT_EQ(feed.waiting(), SoundFeed::kDefaultTarget);
    // The newest sound is what plays: the oldest was skipped.
    EXPECT_EQ(out[0], 20000 - SoundFeed::kDefaultTarget - 700 + 1);
}

// A UI stall of a tenth of a second, its six frames arriving at once: the
// sound is back near its target within a second, not trailing the picture.
TEST(SoundFeed, AShortStallsCatchUpIsDroppedWithinASecond) {
    SoundFeed feed;
    std::vector<uint8_t> chunk(547 * 4, 1);
    const std::vector<uint8_t> caughtUp(chunk.size() * 7, 1);  // the stalled six and the seventh at once
    std::vector<int16_t> out(2 * 700);
    double nextPull = 0;
    int32_t waitingASecondAfter = -1;
    for (int frame = 0; frame < 60 * 20; ++frame) {
        const double arrival = frame / 59.83;
        const int stalled = frame >= 600 && frame < 606;
        if (frame == 606) feed.push(caughtUp.data(), int32_t(caughtUp.size()));
        else if (!stalled) feed.push(chunk.data(), int32_t(chunk.size()));
        while (nextPull <= arrival) {
            feed.pull(out.data(), 700);
            nextPull += 700.0 / SoundFeed::kRate;
            if (frame == 666) waitingASecondAfter = feed.waiting();
        }
    }
    EXPECT_GT(feed.counts().cut, 0);
    EXPECT_LT(waitingASecondAfter, feed.target() + 700 + 600);
}

// Frames reaching the feed in bursts (a busy UI thread holding three or four
// at a time): after a few gaps the target has grown enough for none to
// follow; once the bursts stop it shrinks back.
TEST(SoundFeed, BurstsGrowTheTargetUntilTheSoundFlows) {
    SoundFeed feed;
    std::vector<uint8_t> chunk(547 * 4, 1);
    std::vector<int16_t> out(2 * 700);
    double nextPull = 0;
    int64_t underrunsAfterAMinute = -1;
    for (int frame = 0; frame < 60 * 240; ++frame) {
        const double arrival = frame / 59.83;
        const bool bursty = frame < 60 * 120;
        // Bursty: every fourth frame brings the three before it too, 50 ms late.
        if (!bursty || frame % 4 == 3) {
            const int frames = bursty ? 4 : 1;
            for (int i = 0; i < frames; ++i) feed.push(chunk.data(), int32_t(chunk.size()));
        }
        while (nextPull <= arrival) {
            feed.pull(out.data(), 700);
            nextPull += 700.0 / SoundFeed::kRate;
        }
        if (frame == 60 * 60) underrunsAfterAMinute = feed.counts().underruns;
        if (frame == 60 * 120 - 1) {
            EXPECT_GT(feed.target(), SoundFeed::kDefaultTarget);
            EXPECT_EQ(feed.counts().underruns, underrunsAfterAMinute) << "still running dry after a minute";
        }
    }
    EXPECT_GT(underrunsAfterAMinute, 0);
    EXPECT_EQ(feed.target(), SoundFeed::kDefaultTarget) << "did not shrink back";
    feed.restart();
    EXPECT_EQ(feed.target(), SoundFeed::kDefaultTarget);
}

// The board's clock a little fast or slow against the graph's: the amount
// waiting stays near the target, without gaps, by single-frame corrections.
class SoundFeedDrift : public ::testing::TestWithParam<double> {};

TEST_P(SoundFeedDrift, StaysNearTheTarget) {
    const double ppm = GetParam();
    SoundFeed feed;
    std::vector<uint8_t> chunk(548 * 4, 1);
    std::vector<int16_t> out(2 * 700);
    const double pushEvery = 1.0 / 59.83 / (1 + ppm * 1e-6), pullEvery = 700.0 / SoundFeed::kRate;
    double nextPush = 0, nextPull = 0.05, boardFrames = 0;
    int32_t most = 0, least = 1 << 30;
    for (int step = 0; step < 120 * 1000; ++step) {  // two minutes in 1 ms steps
        const double now = step / 1000.0;
        while (nextPush <= now) {
            // 547 or 548 frames, as the board sends them.
            const double due = (boardFrames + SoundFeed::kRate / 59.83);
            const int frames = int(std::floor(due) - std::floor(boardFrames));
            boardFrames = due;
            feed.push(chunk.data(), frames * 4);
            nextPush += pushEvery;
        }
        while (nextPull <= now) {
            feed.pull(out.data(), 700);
            nextPull += pullEvery;
            if (now > 30) {
                most = std::max(most, feed.waiting());
                least = std::min(least, feed.waiting());
            }
        }
    }
    EXPECT_EQ(feed.counts().underruns, 0);
    EXPECT_EQ(feed.counts().cut, 0);
    EXPECT_LT(most, SoundFeed::kDefaultTarget + 700 + 1200) << "drifted ahead";
    EXPECT_GT(least, 0) << "drifted behind";
    if (std::abs(ppm) > 100) {
        EXPECT_GT(feed.counts().adjusted, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Clocks, SoundFeedDrift, ::testing::Values(0.0, 500.0, -500.0, 1000.0, -1000.0));

}  // namespace
