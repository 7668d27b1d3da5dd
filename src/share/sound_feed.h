#pragma once
// The board's sound on its way to the sound node: the UI thread pushes each
// frame's samples as the frame's picture goes out, the share thread pulls
// whatever the graph asks for. The feed keeps a small, steady amount of
// sound waiting (the target) so the sound stays as close behind the picture
// as the graph's timing allows: the board's clock is not the graph's, so
// when the amount drifts away from the target one sample frame is dropped
// or repeated per pull until it is back; a long stall is cut short at once
// (a short one once the amount has stayed ahead for half a second),
// and running dry plays silence until the target is reached again. Each time
// it runs dry the target grows by a frame's sound (up to a limit), and it
// shrinks back slowly once the sound flows with margin to spare: a busy
// machine trades a little more delay for no gaps. One producer, one consumer, no locks; the storage
// is allocated once.
#include <atomic>
#include <climits>
#include <cstdint>
#include <vector>

class SoundFeed {
public:
    static constexpr int kRate = 32728;         // the board's sample rate
    static constexpr int32_t kCapacity = 32768;  // stereo sample frames, about a second
    // Sound kept waiting beyond one pull: a frame and a half of the board's sound,
    // growing up to about 100 ms when the sound runs dry.
    static constexpr int32_t kDefaultTarget = 820;
    static constexpr int32_t kMaxTarget = 3276;
    static constexpr int32_t kTargetStep = 547;

    SoundFeed();

    // Producer: 16-bit little-endian stereo; a partial sample frame at the
    // end is ignored, sound that does not fit is dropped (counted).
    void push(const uint8_t* data, int32_t bytes);

    // Consumer: `frames` stereo sample frames into `out`.
    void pull(int16_t* out, int32_t frames);
    // Consumer: forgets everything waiting and starts over (a new stream).
    void restart();

    // Sample frames waiting now (either side).
    int32_t waiting() const;
    // Consumer: the smallest target (the one it starts with).
    void setTarget(int32_t frames) { baseTarget_ = target_ = frames; }
    int32_t target() const { return target_; }

    struct Counts {
        int64_t dropped = 0;   // pushed frames that found the feed full
        int64_t underruns = 0; // pulls that ran dry
        int64_t cut = 0;       // frames skipped after a stall
        int64_t adjusted = 0;  // single frames dropped or repeated for drift
    };
    Counts counts() const;

private:
    void read(int16_t* out, int32_t frames);

    std::vector<int16_t> ring_;           // kCapacity stereo frames
    std::atomic<uint32_t> head_{0};       // next frame to write (producer)
    std::atomic<uint32_t> tail_{0};       // next frame to read (consumer)
    std::atomic<int64_t> dropped_{0};     // producer
    // Consumer only.
    int32_t baseTarget_ = kDefaultTarget;
    int32_t target_ = kDefaultTarget;
    int32_t pullsSinceDry_ = 0;
    int32_t lowestLeft_ = INT32_MAX;  // since the last look at the target
    int32_t recentPulls_ = 0;
    int32_t recentLowest_ = INT32_MAX;  // over the last half second
    bool priming_ = true;
    double smoothedError_ = 0;
    std::atomic<int64_t> underruns_{0}, cut_{0}, adjusted_{0};
};
