#include "share/sound_feed.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
// Beyond this much over the target the feed skips at once instead of
// correcting a frame at a time (a stall of the graph or the consumer).
constexpr int32_t kCutExcess = 8192;
// How far the smoothed amount may stray before correcting: a quarter of a
// video frame's sound; each further quarter corrects one frame more.
constexpr double kTolerance = 137;
constexpr double kSmoothing = 0.02;
constexpr int32_t kMaxSteps = 8;
}  // namespace

SoundFeed::SoundFeed() : ring_(static_cast<size_t>(kCapacity) * 2) {}

void SoundFeed::push(const uint8_t* data, int32_t bytes) {
    if (!data || bytes < 4) return;
    int32_t frames = bytes / 4;
    const uint32_t head = head_.load(std::memory_order_relaxed);
    const int32_t room = kCapacity - static_cast<int32_t>(head - tail_.load(std::memory_order_acquire));
    if (frames > room) {
        dropped_.fetch_add(frames - room, std::memory_order_relaxed);
        frames = room;
    }
    for (int32_t done = 0; done < frames;) {
        const uint32_t at = (head + static_cast<uint32_t>(done)) % kCapacity;
        const int32_t run = std::min(frames - done, static_cast<int32_t>(kCapacity - at));
        std::memcpy(&ring_[static_cast<size_t>(at) * 2], data + static_cast<size_t>(done) * 4,
                    static_cast<size_t>(run) * 4);
        done += run;
    }
    head_.store(head + static_cast<uint32_t>(frames), std::memory_order_release);
}

int32_t SoundFeed::waiting() const {
    return static_cast<int32_t>(head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire));
}

void SoundFeed::read(int16_t* out, int32_t frames) {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    for (int32_t done = 0; done < frames;) {
        const uint32_t at = (tail + static_cast<uint32_t>(done)) % kCapacity;
        const int32_t run = std::min(frames - done, static_cast<int32_t>(kCapacity - at));
        if (out) std::memcpy(out + static_cast<size_t>(done) * 2, &ring_[static_cast<size_t>(at) * 2],
                             static_cast<size_t>(run) * 4);
        done += run;
    }
    tail_.store(tail + static_cast<uint32_t>(frames), std::memory_order_release);
}

void SoundFeed::restart() {
    tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release);
    priming_ = true;
    smoothedError_ = 0;
}

void SoundFeed::pull(int16_t* out, int32_t frames) {
    if (frames <= 0) return;
    int32_t have = waiting();
    if (priming_ && have < target_ + frames) {
        std::memset(out, 0, static_cast<size_t>(frames) * 4);
        return;
    }
    if (!priming_ && have < frames) {
        // Ran dry: what there is, then silence until the target is back.
        read(out, have);
        std::memset(out + static_cast<size_t>(have) * 2, 0, static_cast<size_t>(frames - have) * 4);
        underruns_.fetch_add(1, std::memory_order_relaxed);
        priming_ = true;
        return;
    }
    if (priming_) smoothedError_ = 0;
    priming_ = false;
    if (const int32_t excess = have - frames - target_; excess > kCutExcess) {
        read(nullptr, excess);
        cut_.fetch_add(excess, std::memory_order_relaxed);
        have -= excess;
        smoothedError_ = 0;
    }
    smoothedError_ += kSmoothing * (double(have - frames - target_) - smoothedError_);
    // One frame per tolerance's worth of error, a few at most: inaudible, and
    // enough for clocks apart by several thousandths.
    const int32_t steps = std::min<int32_t>(kMaxSteps, static_cast<int32_t>(std::abs(smoothedError_) / kTolerance));
    if (steps > 0 && smoothedError_ > 0 && have >= frames + steps) {
        // Ahead of the target: a few input frames go unheard.
        read(out, frames);
        read(nullptr, steps);
        adjusted_.fetch_add(steps, std::memory_order_relaxed);
    } else if (steps > 0 && smoothedError_ < 0 && frames > steps) {
        // Behind: the last frame read is heard a few times more.
        read(out, frames - steps);
        for (int32_t i = frames - steps; i < frames; ++i)
            std::memcpy(out + static_cast<size_t>(i) * 2, out + static_cast<size_t>(frames - steps - 1) * 2, 4);
        adjusted_.fetch_add(steps, std::memory_order_relaxed);
    } else {
        read(out, frames);
    }
}

SoundFeed::Counts SoundFeed::counts() const {
    return {dropped_.load(std::memory_order_relaxed), underruns_.load(std::memory_order_relaxed),
            cut_.load(std::memory_order_relaxed), adjusted_.load(std::memory_order_relaxed)};
}
