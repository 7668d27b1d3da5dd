#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/audio_ring.h"
#include "support/debug_capture.h"

namespace {

constexpr uint32_t kSize = AudioRing::kSize;

std::vector<uint8_t> pattern(uint32_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

struct PushCase {
    const char* name;
    uint64_t writeTotal;
    uint64_t readTotal;
    uint32_t count;
    uint32_t stored;
    bool full;
};

TEST(AudioRing, PushStoresWhatFitsAndWrapsAtTheEnd) {
    const PushCase cases[] = {
        {"first chunk at position 0", 0, 0, 2192, 2192, false},
        {"3000 at position 7000 wraps 658 + 2342", 7000, 7000, 3000, 3000, false},
        {"exactly the room", 1000, 0, 6652, 6652, false},
        {"7654 held: dropped whole", 7654, 0, 2192, 0, true},
        {"7652 held: no whole frame fits", 7652, 0, 4, 0, true},
        {"larger than the room: cut to whole frames", 7000, 0, 1000, 652, true},
        {"totals across 2^32", (1ull << 32) - 100, (1ull << 32) - 2000, 3000, 3000, false},
        {"skipped read", 0, 0, 0, 0, false},
    };
    for (const PushCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto ring = std::make_unique<AudioRing>();
        ring->setTotals(c.writeTotal, c.readTotal);
        DebugCapture debug;
        const std::vector<uint8_t> bytes = pattern(c.count, 11);
        EXPECT_EQ(ring->push(bytes.data(), c.count), c.stored);
        EXPECT_EQ(ring->writeTotal(), c.writeTotal + c.stored);
        EXPECT_EQ(debug.text(), c.full ? "usbFifo full\n" : "");
        // The stored bytes sit at position writeTotal mod size, wrapping once.
        for (uint32_t i = 0; i < c.stored; ++i)
            ASSERT_EQ(ring->storage()[(c.writeTotal + i) % kSize], bytes[i]) << "byte " << i;
    }
}

TEST(AudioRing, WrapSplitAtPosition7000) {
    auto ring = std::make_unique<AudioRing>();
    ring->setTotals(7000, 7000);
    const std::vector<uint8_t> bytes = pattern(3000, 5);
    ring->push(bytes.data(), 3000);
    EXPECT_EQ(0, std::memcmp(ring->storage() + 7000, bytes.data(), 658));
    EXPECT_EQ(0, std::memcmp(ring->storage(), bytes.data() + 658, 2342));
}

struct PullCase {
    const char* name;
    uint32_t held;
    uint32_t required;
    bool played;
    uint64_t advance;
    int32_t backlog;
};

TEST(AudioRing, PullSteersTheBacklogIntoTheBand) {
    const PullCase cases[] = {
        {"backlog above the band skips a frame", 1308 + 6000, 1308, true, 1312, 6000},
        {"backlog below the band repeats a frame", 1308 + 1000, 1308, true, 1304, 1000},
        {"inside the band", 1308 + 3000, 1308, true, 1308, 3000},
        {"band edges are inside", 1308 + 5470, 1308, true, 1308, 5470},
        {"band edges are inside (low)", 1308 + 1094, 1308, true, 1308, 1094},
        {"short of data: silence, data stays", 1000, 1308, false, 0, -1},
        {"nothing asked", 1000, 0, false, 0, -1},
    };
    const uint64_t starts[] = {0, 7000, (1ull << 32) - 3000};
    for (const PullCase& c : cases) {
        for (uint64_t start : starts) {
            SCOPED_TRACE(testing::Message() << c.name << " from total " << start);
            auto ring = std::make_unique<AudioRing>();
            ring->setTotals(start, start);
            const std::vector<uint8_t> bytes = pattern(c.held, 3);
            ASSERT_EQ(ring->push(bytes.data(), c.held), c.held);
            const AudioRing::Pass pass = ring->pull(c.required);
            EXPECT_EQ(pass.data != nullptr, c.played);
            EXPECT_EQ(pass.backlog, c.backlog);
            EXPECT_EQ(ring->readTotal(), start + c.advance);
            if (c.played) {
                ASSERT_EQ(pass.bytes, c.required);
                EXPECT_EQ(0, std::memcmp(pass.data, bytes.data(), c.required));
            }
        }
    }
}

// A repeated frame is played again at the start of the next pass.
TEST(AudioRing, RepeatedFrameOpensTheNextPass) {
    auto ring = std::make_unique<AudioRing>();
    const std::vector<uint8_t> bytes = pattern(2048, 9);
    ring->push(bytes.data(), 2048);
    const AudioRing::Pass first = ring->pull(1024);  // backlog 1024 < band
    ASSERT_NE(first.data, nullptr);
    std::vector<uint8_t> lastFrame(first.data + 1020, first.data + 1024);
    const AudioRing::Pass second = ring->pull(512);
    ASSERT_NE(second.data, nullptr);
    EXPECT_EQ(0, std::memcmp(second.data, lastFrame.data(), 4));
}

// One writer thread and one pulling thread over a long run: every byte the
// puller gets continues the writer's sequence, apart from the single frames
// the correction skips or repeats. Run under ThreadSanitizer too.
TEST(AudioRing, WriterAndPullerThreadsKeepTheSequence) {
    auto ring = std::make_unique<AudioRing>();
    ring->setTotals((1ull << 32) - 50000, (1ull << 32) - 50000);  // cross 2^32 on the way
    constexpr uint32_t kFrames = 400000;  // sample frames written in all
    std::atomic<bool> done{false}, stop{false};

    // Each sample frame carries its index in its four bytes.
    std::thread writer([&] {
        uint8_t chunk[2192];
        uint32_t next = 0;
        while (next < kFrames && !stop) {
            uint32_t frames = 0;
            for (; frames < 548 && next + frames < kFrames; ++frames) {
                const uint32_t index = next + frames;
                std::memcpy(chunk + frames * 4, &index, 4);
            }
            const uint32_t stored = ring->push(chunk, frames * 4);
            next += stored / 4;
            if (stored < frames * 4) std::this_thread::yield();
        }
        done = true;
    });

    uint32_t skips = 0, repeats = 0, silent = 0, played = 0;
    bool haveLast = false, broken = false;
    uint32_t last = 0;
    while (!broken && !(done && ring->writeTotal() - ring->readTotal() < 512)) {
        const AudioRing::Pass pass = ring->pull(512);
        if (!pass.data) {
            ++silent;
            std::this_thread::yield();
            continue;
        }
        for (uint32_t i = 0; i < pass.bytes; i += 4) {
            uint32_t v;
            std::memcpy(&v, pass.data + i, 4);
            if (haveLast && v == last) {
                ++repeats;
            } else if (haveLast && v == last + 2) {
                ++skips;
            } else if (haveLast && v != last + 1) {
                ADD_FAILURE() << "after " << last << " came " << v;
                broken = true;
                break;
            }
            last = v;
            haveLast = true;
            ++played;
        }
    }
    stop = true;
    writer.join();
    EXPECT_GT(played, kFrames / 2);
    // Played up to the end, less what was still held (at most a pass).
    EXPECT_GE(last + 1 + 512 / 4, kFrames);
    RecordProperty("skips", skips);
    RecordProperty("repeats", repeats);
    RecordProperty("silent", silent);
}

}  // namespace
