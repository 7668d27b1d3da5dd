#include "share/sound_feed.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {
// Beyond this much over the target the feed skips at once instead of
// correcting a frame at a time (a stall of the graph or the consumer).
constexpr int32_t kCutExcess = 8192;
// Pulls (about half a second) over which the lowest amount left is watched.
constexpr int32_t kLagPulls = 24;
// How far the smoothed amount may stray before correcting: half a video
// frame's sound. A correction is one frame per pull, about 0.14 %: no one
// hears that pitch change, and it follows clocks apart by a thousandth.
constexpr double kTolerance = 274;
constexpr double kSmoothing = 0.02;
// Pulls without running dry (about five seconds) before the target shrinks a step.
constexpr int32_t kCalmPulls = 235;
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
    target_ = baseTarget_;
    pullsSinceDry_ = 0;
    lowestLeft_ = INT32_MAX;
    recentPulls_ = 0;
    recentLowest_ = INT32_MAX;
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
        target_ = std::min(target_ + kTargetStep, kMaxTarget);
        pullsSinceDry_ = 0;
        lowestLeft_ = INT32_MAX;
        recentPulls_ = 0;
        recentLowest_ = INT32_MAX;
        return;
    }
    // Shrinks only when the sound never came close to running dry: the
    // lowest amount left after a pull shows the margin not needed.
    lowestLeft_ = std::min(lowestLeft_, have - frames);
    if (++pullsSinceDry_ >= kCalmPulls) {
        if (target_ > baseTarget_ && lowestLeft_ > kTargetStep / 2)
            target_ = std::max(target_ - kTargetStep / 4, baseTarget_);
        pullsSinceDry_ = 0;
        lowestLeft_ = INT32_MAX;
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
    // Stayed ahead for half a second even at its lowest (a stall's frames
    // arrived all at once): the excess goes now, or the sound would trail
    // the picture for a minute at one frame per pull.
    recentLowest_ = std::min(recentLowest_, have - frames);
    if (++recentPulls_ >= kLagPulls) {
        if (const int32_t excess = recentLowest_ - target_; excess > kTargetStep) {
            read(nullptr, excess);
            cut_.fetch_add(excess, std::memory_order_relaxed);
            have -= excess;
            smoothedError_ = 0;
        }
        recentPulls_ = 0;
        recentLowest_ = INT32_MAX;
    }
    if (smoothedError_ > kTolerance && have > frames) {
        // Ahead of the target: one input frame goes unheard.
        read(out, frames);
        read(nullptr, 1);
        adjusted_.fetch_add(1, std::memory_order_relaxed);
    } else if (smoothedError_ < -kTolerance && frames > 1) {
        // Behind: the last frame of this pull is heard twice.
        read(out, frames - 1);
        std::memcpy(out + static_cast<size_t>(frames - 1) * 2, out + static_cast<size_t>(frames - 2) * 2, 4);
        adjusted_.fetch_add(1, std::memory_order_relaxed);
    } else {
        read(out, frames);
    }
}

SoundFeed::Counts SoundFeed::counts() const {
    return {dropped_.load(std::memory_order_relaxed), underruns_.load(std::memory_order_relaxed),
            cut_.load(std::memory_order_relaxed), adjusted_.load(std::memory_order_relaxed)};
}
