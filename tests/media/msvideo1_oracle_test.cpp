// Our Microsoft Video 1 encoder against libavcodec's decoder: what the
// decoder shows must be, bit for bit and frame by frame, what the encoder
// believes it shows (its skip decisions rest on that), and every key frame
// must decode on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "display/decode.h"
#include "record/codec/msvideo1_encoder.h"
#include "settings/settings.h"
#include "usb/sim/sim_picture.h"

namespace {

constexpr int kWidth = 400, kHeight = 480, kStride = kWidth * 3;

// Bottom-up 24-bit pictures, as the capture source delivers them.
using Picture = std::vector<uint8_t>;
using Movie = std::vector<Picture>;

Picture fromDisplayImage(const uint32_t* image) {
    Picture p(static_cast<size_t>(kStride) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const uint32_t v = image[(kHeight - 1 - y) * kWidth + x];
            uint8_t* d = &p[static_cast<size_t>(y) * kStride + x * 3];
            d[0] = static_cast<uint8_t>(v), d[1] = static_cast<uint8_t>(v >> 8), d[2] = static_cast<uint8_t>(v >> 16);
        }
    return p;
}

// The simulated board's picture with its moving parts.
Movie demoMovie(int frames) {
    settings.displayType = 1;
    std::vector<uint8_t> still(kVideoStorageAllocBytes), storage(kVideoStorageAllocBytes);
    usb::drawStillPicture(still.data());
    FrameBuffer scratch;
    scratch.videoStorage = storage.data();
    Movie movie;
    for (int i = 0; i < frames; ++i) {
        storage = still;
        usb::drawMovingParts(storage.data(), static_cast<uint64_t>(i));
        decodeFrame(&scratch);
        movie.push_back(fromDisplayImage(scratch.displayImage));
    }
    freeDisplayImage(&scratch);
    return movie;
}

// Smooth shading under sensor-like noise that changes every frame.
Movie noisyMovie(int frames) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 6.0);
    Movie movie;
    for (int f = 0; f < frames; ++f) {
        Picture p(static_cast<size_t>(kStride) * kHeight);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const double base[3] = {128 + 100 * std::sin(x * 0.013 + f * 0.05), 90 + 80 * std::cos(y * 0.011),
                                        60 + 0.3 * x + 0.2 * y};
                for (int c = 0; c < 3; ++c)
                    p[static_cast<size_t>(y) * kStride + x * 3 + c] =
                        static_cast<uint8_t>(std::clamp(base[c] + noise(rng), 0.0, 255.0));
            }
        movie.push_back(std::move(p));
    }
    return movie;
}

// Hard-edged text-like stripes and checks moving up three rows and left one
// column a frame: every block changes, none by a whole block.
Movie scrollingMovie(int frames) {
    Movie movie;
    for (int f = 0; f < frames; ++f) {
        Picture p(static_cast<size_t>(kStride) * kHeight);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const int u = x + f, v = y + 3 * f;
                uint8_t* d = &p[static_cast<size_t>(y) * kStride + x * 3];
                const bool ink = ((u / 3) % 5 == 0) || ((v / 7 + u / 11) % 4 == 0);
                d[0] = ink ? 20 : static_cast<uint8_t>(200 + (v % 50));
                d[1] = ink ? static_cast<uint8_t>(u % 256) : 230;
                d[2] = ink ? 40 : static_cast<uint8_t>(255 - (u + v) % 90);
            }
        movie.push_back(std::move(p));
    }
    return movie;
}

// Flat blocks of every colour channel value (a red of 1 cannot be said as
// one colour), changing every frame, over a few two-colour edges.
Movie flatMovie(int frames) {
    Movie movie;
    for (int f = 0; f < frames; ++f) {
        Picture p(static_cast<size_t>(kStride) * kHeight);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const int bx = x / 4 + f, by = y / 4;
                uint8_t* d = &p[static_cast<size_t>(y) * kStride + x * 3];
                const bool edge = by % 3 == 0 && (x % 4) + (y % 4) > 3;
                d[2] = static_cast<uint8_t>((bx % 32) << 3);
                d[1] = static_cast<uint8_t>(edge ? 255 : (by % 32) << 3);
                d[0] = static_cast<uint8_t>(((bx + by) % 32) << 3);
            }
        movie.push_back(std::move(p));
    }
    return movie;
}

struct ContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

class Decoder {
public:
    Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSVIDEO1);
        ctx_.reset(avcodec_alloc_context3(codec));
        ctx_->width = kWidth;
        ctx_->height = kHeight;
        ctx_->bits_per_coded_sample = 16;
        ok_ = codec && avcodec_open2(ctx_.get(), codec, nullptr) == 0;
    }
    bool ok() const { return ok_; }

    // The picture bottom-up and without the unused top bit, or empty on failure.
    std::vector<uint16_t> decode(const uint8_t* data, size_t size) {
        std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
        std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
        if (av_new_packet(packet.get(), static_cast<int>(size)) < 0) return {};
        std::memcpy(packet->data, data, size);
        if (avcodec_send_packet(ctx_.get(), packet.get()) < 0 || avcodec_receive_frame(ctx_.get(), frame.get()) < 0)
            return {};
        if (frame->format != AV_PIX_FMT_RGB555LE) return {};
        std::vector<uint16_t> out(static_cast<size_t>(kWidth) * kHeight);
        for (int y = 0; y < kHeight; ++y) {
            auto* row = reinterpret_cast<const uint16_t*>(frame->data[0] + (kHeight - 1 - y) * frame->linesize[0]);
            for (int x = 0; x < kWidth; ++x) out[static_cast<size_t>(y) * kWidth + x] = row[x] & 0x7FFF;
        }
        return out;
    }

private:
    std::unique_ptr<AVCodecContext, ContextDeleter> ctx_;
    bool ok_ = false;
};

// The first differing pixel, for the failure message.
std::string firstDifference(const std::vector<uint16_t>& got, const uint16_t* want) {
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i]) {
            char text[96];
            std::snprintf(text, sizeof text, "x %zu y %zu (from the bottom): decoded %04X, encoder %04X", i % kWidth,
                          i / kWidth, got[i], want[i]);
            return text;
        }
    return "none";
}

// Mean squared error against the source in RGB555, per channel.
double mse555(const Picture& source, const uint16_t* shown) {
    double sum = 0;
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const uint8_t* s = &source[static_cast<size_t>(i) * 3];
        const int d[3] = {(s[2] >> 3) - (shown[i] >> 10), (s[1] >> 3) - ((shown[i] >> 5) & 31),
                          (s[0] >> 3) - (shown[i] & 31)};
        sum += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    }
    return sum / (3.0 * kWidth * kHeight);
}

struct Case {
    const char* name;
    Movie (*make)(int frames);
};

TEST(Video1Oracle, DecoderShowsWhatTheEncoderBelieves) {
    constexpr int kFrames = 14, kKeyInterval = 6;
    const Case cases[] = {{"demo picture", demoMovie}, {"noisy photo", noisyMovie}, {"scrolling", scrollingMovie},
                          {"flat colours", flatMovie}};
    const double qualities[] = {0.0, 0.5, 0.85, 1.0};
    for (const Case& c : cases) {
        const Movie movie = c.make(kFrames);
        std::vector<double> errors, sizes;
        for (double q : qualities) {
            SCOPED_TRACE(std::string(c.name) + " at quality " + std::to_string(q));
            msvideo1::Encoder encoder;
            ASSERT_TRUE(encoder.open(kWidth, kHeight));
            encoder.setQuality(q);
            encoder.setKeyInterval(kKeyInterval);
            Decoder stream;
            ASSERT_TRUE(stream.ok());
            std::vector<uint8_t> packet(encoder.maxFrameBytes());
            double error = 0, bytes = 0;
            for (int f = 0; f < kFrames; ++f) {
                SCOPED_TRACE("frame " + std::to_string(f));
                const auto frame = encoder.encodeBgr24(movie[f].data(), kStride, packet.data());
                EXPECT_EQ(frame.key, f % kKeyInterval == 0);
                ASSERT_GT(frame.bytes, 0u);
                ASSERT_LE(frame.bytes, encoder.maxFrameBytes());
                const auto decoded = stream.decode(packet.data(), frame.bytes);
                ASSERT_EQ(decoded.size(), static_cast<size_t>(kWidth) * kHeight);
                ASSERT_EQ(std::memcmp(decoded.data(), encoder.shown(), decoded.size() * 2), 0)
                    << firstDifference(decoded, encoder.shown());
                if (frame.key) {
                    Decoder alone;
                    const auto single = alone.decode(packet.data(), frame.bytes);
                    ASSERT_EQ(single, decoded) << "a key frame that needs the frames before it";
                }
                error += mse555(movie[f], encoder.shown());
                bytes += static_cast<double>(frame.bytes);
            }
            errors.push_back(error / kFrames);
            sizes.push_back(bytes / kFrames);
        }
        SCOPED_TRACE(c.name);
        // Quality trades size for error, all the way.
        for (size_t i = 1; i < errors.size(); ++i) {
            EXPECT_LE(errors[i], errors[i - 1]) << "quality " << qualities[i];
            EXPECT_GE(sizes[i], sizes[i - 1]) << "quality " << qualities[i];
        }
        EXPECT_LT(errors.back(), 0.5);  // at 1.0 nearly all of RGB555
    }
}

}  // namespace
