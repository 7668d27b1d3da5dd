#include "record/ffmpeg/board_sound_track.h"

#include <algorithm>
#include <cmath>
#include <limits>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace media {

namespace {
// A chunk this old is placed even without chunks after it (the board paused).
constexpr int64_t kReadyAge = 5000000;  // 0.5 s
// Without a known lead the first chunk waits this long at most.
constexpr int64_t kLeadWait = 10000000;
// Errors beyond this are gaps (or bursts), mended at once with silence or
// by leaving samples out; smaller ones are steered away softly.
constexpr double kHardSeconds = 0.040;
// The soft correction: a phase term (1 s) and a learned clock difference,
// critically damped at about 0.5 rad/s; limits far above a crystal's error.
constexpr double kPhaseSeconds = 1.0;
constexpr double kIntegralGain = 0.25;
constexpr double kMaxDrift = 0.02;
constexpr double kMaxCorrection = 0.03;
constexpr int32_t kZeroFrames = 2048;
}  // namespace

BoardSoundTrack::BoardSoundTrack() = default;

BoardSoundTrack::~BoardSoundTrack() { swr_free(&swr_); }

bool BoardSoundTrack::open(int outputRate, std::string* error) {
    outputRate_ = outputRate;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    swr_free(&swr_);
    int rc = swr_alloc_set_opts2(&swr_, &stereo, AV_SAMPLE_FMT_S16, outputRate, &stereo, AV_SAMPLE_FMT_S16,
                                 kInputRate, 0, nullptr);
    // Resampling stays on even at the same rate: the clock correction runs through it.
    if (rc >= 0) rc = av_opt_set_int(swr_, "flags", SWR_FLAG_RESAMPLE, 0);
    if (rc >= 0) rc = swr_init(swr_);
    if (rc < 0) {
        if (error) *error = "the sound resampler could not be set up";
        swr_free(&swr_);
        return false;
    }
    // One chunk (at most 2048 input frames) converted at the largest ratio.
    outCapacity_ = static_cast<int32_t>(kZeroFrames * (static_cast<double>(outputRate) / kInputRate) * 1.1) + 256;
    out_.assign(static_cast<size_t>(outCapacity_) * 2, 0);
    zeros_.assign(static_cast<size_t>(kZeroFrames) * 2, 0);
    started_ = false;
    written_ = silence_ = 0;
    integral_ = correction_ = 0;
    return true;
}

double BoardSoundTrack::expectedPosition() const {
    return static_cast<double>(written_) + static_cast<double>(swr_get_delay(swr_, outputRate_));
}

void BoardSoundTrack::convert(const int16_t* in, int32_t frames, Sink& sink) {
    while (frames > 0) {
        const int32_t n = std::min(frames, kZeroFrames);
        const uint8_t* inp = reinterpret_cast<const uint8_t*>(in);
        uint8_t* outp = reinterpret_cast<uint8_t*>(out_.data());
        const int got = swr_convert(swr_, &outp, outCapacity_, &inp, n);
        if (got > 0) {
            sink.samples(out_.data(), got);
            written_ += got;
        }
        in += 2 * n;
        frames -= n;
    }
}

void BoardSoundTrack::silence(int64_t outputFrames, Sink& sink) {
    if (outputFrames <= 0) return;
    silence_ += outputFrames;
    int64_t inputFrames = std::llround(static_cast<double>(outputFrames) * kInputRate / outputRate_);
    while (inputFrames > 0) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(inputFrames, kZeroFrames));
        convert(zeros_.data(), n, sink);
        inputFrames -= n;
    }
}

void BoardSoundTrack::process(SoundTap& tap, const int64_t* lead, int64_t now, bool all, Sink& sink) {
    if (!swr_) return;
    if (lead) lead_ = *lead;
    const double ratio = static_cast<double>(outputRate_) / kInputRate;
    const double hard = kHardSeconds * outputRate_;
    while (tap.available() > 0) {
        const int32_t waiting = tap.available();
        const SoundTap::Chunk head = tap.peek(0);
        if (!all) {
            if (!started_ && !lead && now - head.time < kLeadWait) return;
            if (waiting <= kLookahead && now - head.time < kReadyAge) return;
        }
        // How far each chunk ahead would land from its place on the time
        // line; arrivals are only ever late, so the least of them counts.
        const double expected = expectedPosition();
        double ahead = 0;
        double error = std::numeric_limits<double>::infinity();
        const int32_t look = std::min(waiting, kLookahead);
        for (int32_t i = 0; i < look; ++i) {
            const SoundTap::Chunk c = tap.peek(i);
            const double target = static_cast<double>(c.time + lead_) * outputRate_ / 1.0e7;
            error = std::min(error, target - (expected + ahead));
            ahead += (c.bytes / 4) * ratio;
        }

        const auto* samples = reinterpret_cast<const int16_t*>(head.data);
        int32_t frames = head.bytes / 4;
        int32_t skip = 0;
        if (!started_ || std::abs(error) > hard) {
            // The start, a gap or a burst: line up at once.
            if (error > 0) {
                silence(std::llround(error), sink);
            } else {
                skip = static_cast<int32_t>(std::min<double>(frames, std::llround(-error / ratio)));
            }
            if (!started_ && skip == frames && frames > 0 && error < 0) {
                tap.pop();  // all of this chunk lies before the start
                continue;
            }
            started_ = true;
        } else if (frames > 0) {
            const double seconds = error / outputRate_;
            integral_ = std::clamp(integral_ + kIntegralGain * seconds * frames / kInputRate, -kMaxDrift, kMaxDrift);
            correction_ = std::clamp(seconds / kPhaseSeconds + integral_, -kMaxCorrection, kMaxCorrection);
            const int distance = outputRate_ * 10;
            swr_set_compensation(swr_, static_cast<int>(std::lround(correction_ * distance)), distance);
        }
        convert(samples + 2 * skip, frames - skip, sink);
        tap.pop();
    }
}

void BoardSoundTrack::finish(int64_t end, Sink& sink) {
    if (!swr_) return;
    const double target = static_cast<double>(end) * outputRate_ / 1.0e7;
    const double expected = expectedPosition();
    if (target > expected) silence(std::llround(target - expected), sink);
    for (;;) {
        uint8_t* outp = reinterpret_cast<uint8_t*>(out_.data());
        const int got = swr_convert(swr_, &outp, outCapacity_, nullptr, 0);
        if (got <= 0) break;
        sink.samples(out_.data(), got);
        written_ += got;
    }
}

}  // namespace media
