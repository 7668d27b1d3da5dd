#pragma once
// The board's sound as a recording's track: the chunks of the sound tap,
// placed on the recording's time line. The board's clock is not the
// computer's (a crystal a little fast or slow), so the track follows the
// chunks' arrival times: a soft correction of the resampling ratio keeps it
// in step, and a gap (skipped or failed frames, no board) becomes silence of
// the gap's length. Output: 16-bit stereo at the chosen rate.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/sound_tap.h"

struct SwrContext;

namespace media {

class BoardSoundTrack {
public:
    // Receives the finished samples in order (stereo sample frames).
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void samples(const int16_t* data, int32_t frames) = 0;
    };

    static constexpr int kInputRate = 32728;
    // Chunks looked ahead before one is placed: a single late arrival is not
    // mistaken for a gap.
    static constexpr int32_t kLookahead = 16;

    BoardSoundTrack();
    ~BoardSoundTrack();
    BoardSoundTrack(const BoardSoundTrack&) = delete;
    BoardSoundTrack& operator=(const BoardSoundTrack&) = delete;

    // Allocates everything the track needs; false with a reason.
    bool open(int outputRate, std::string* error);
    int outputRate() const { return outputRate_; }

    // Places the chunks that are ready at recording time `now`: those with
    // enough chunks after them, or old enough that no more will come. With
    // `all`, every waiting chunk. `lead`: how much later the picture lands
    // than its frame arrived; null while not yet known (then the first chunk
    // waits for it).
    void process(SoundTap& tap, const int64_t* lead, int64_t now, bool all, Sink& sink);
    // After the last chunk: silence up to `end` (recording time, 100 ns) if
    // the sound stops short of it, and the resampler's last samples.
    void finish(int64_t end, Sink& sink);

    // Output sample frames so far, and the ratio correction now in use
    // (extra output samples per sample).
    int64_t written() const { return written_; }
    double correction() const { return correction_; }
    int64_t silenceInserted() const { return silence_; }

private:
    void convert(const int16_t* in, int32_t frames, Sink& sink);
    void silence(int64_t outputFrames, Sink& sink);
    double expectedPosition() const;

    SwrContext* swr_ = nullptr;
    int outputRate_ = 48000;
    std::vector<int16_t> out_;    // converted samples, reused
    std::vector<int16_t> zeros_;  // input silence
    int32_t outCapacity_ = 0;     // sample frames in out_
    bool started_ = false;
    int64_t lead_ = 0;
    int64_t written_ = 0;
    int64_t silence_ = 0;
    double integral_ = 0;    // the learned clock difference
    double correction_ = 0;  // last ratio correction set
};

}  // namespace media
