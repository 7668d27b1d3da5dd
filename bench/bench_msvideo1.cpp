// Our Microsoft Video 1 encoder and FFmpeg's, side by side on the same 600
// frames (10 s at 60 frames per second, 400 x 480, a key frame every 60):
// processor time per frame (this thread's, median and mean), bytes per frame,
// and PSNR of the decoded pictures against the RGB555 source (5-bit
// channels, peak 31). Both streams are decoded by libavcodec.
//
// BM_SideBySide/<set>/<quality %>: both encoders, frame by frame in turn.
// FFmpeg's encoder has no quality setting: its row is the same at every
// quality, measured again next to ours. Sets: 0 the simulated board's
// picture (what recordings hold), 1 a noisy photo-like picture panning.
// BM_Curve/<set>/<quality %>: ours alone, size against PSNR over 0..1.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

#include "display/decode.h"
#include "record/codec/msvideo1_encoder.h"
#include "settings/settings.h"
#include "usb/sim/sim_picture.h"

namespace {

constexpr int kWidth = 400, kHeight = 480, kFrames = 600, kKeyInterval = 60;
constexpr size_t kPixels = static_cast<size_t>(kWidth) * kHeight;

using Picture = std::vector<uint16_t>;  // RGB555, bottom-up

uint16_t to555(uint32_t bgrx) {
    return static_cast<uint16_t>((((bgrx >> 16) & 0xFF) >> 3) << 10 | (((bgrx >> 8) & 0xFF) >> 3) << 5 |
                                 ((bgrx & 0xFF) >> 3));
}

std::vector<Picture> boardPictures() {
    settings.displayType = 1;
    std::vector<uint8_t> still(kVideoStorageAllocBytes), storage(kVideoStorageAllocBytes);
    usb::drawStillPicture(still.data());
    FrameBuffer scratch;
    scratch.videoStorage = storage.data();
    std::vector<Picture> set;
    for (int f = 0; f < kFrames; ++f) {
        storage = still;
        usb::drawMovingParts(storage.data(), static_cast<uint64_t>(f));
        decodeFrame(&scratch);
        Picture p(kPixels);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                p[static_cast<size_t>(y) * kWidth + x] = to555(scratch.displayImage[(kHeight - 1 - y) * kWidth + x]);
        set.push_back(std::move(p));
    }
    freeDisplayImage(&scratch);
    return set;
}

// Shading with grain, panning one pixel a frame.
std::vector<Picture> photoPictures() {
    std::vector<Picture> set;
    uint32_t seed = 12345;
    for (int f = 0; f < kFrames; ++f) {
        Picture p(kPixels);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int grain = static_cast<int>((seed >> 24) % 13) - 6;
                const int u = x + f;
                auto ch = [&](double v) { return static_cast<uint16_t>(std::clamp(v + grain, 0.0, 255.0)) >> 3; };
                const uint16_t r = ch(128 + 100 * std::sin(u * 0.021)), g = ch(100 + 80 * std::cos(y * 0.017 + u * 0.005)),
                               b = ch(40 + 0.4 * y);
                p[static_cast<size_t>(y) * kWidth + x] = static_cast<uint16_t>(r << 10 | g << 5 | b);
            }
        set.push_back(std::move(p));
    }
    return set;
}

const std::vector<Picture>& pictures(int set) {
    static const std::vector<Picture> board = boardPictures();
    if (set == 0) return board;
    static const std::vector<Picture> photo = photoPictures();
    return photo;
}

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
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
using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;

ContextPtr openDecoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSVIDEO1);
    ContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->width = kWidth;
    ctx->height = kHeight;
    ctx->bits_per_coded_sample = 16;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
    return ctx;
}

// Squared error of one decoded packet against the source, summed.
struct Quality {
    ContextPtr decoder = openDecoder();
    std::unique_ptr<AVFrame, FrameDeleter> frame{av_frame_alloc()};
    std::unique_ptr<AVPacket, PacketDeleter> packet{av_packet_alloc()};
    double squared = 0;
    int64_t samples = 0;

    bool add(const uint8_t* data, int size, const Picture& source) {
        av_packet_unref(packet.get());
        if (av_new_packet(packet.get(), size) < 0) return false;
        std::memcpy(packet->data, data, static_cast<size_t>(size));
        if (avcodec_send_packet(decoder.get(), packet.get()) < 0 ||
            avcodec_receive_frame(decoder.get(), frame.get()) < 0)
            return false;
        for (int y = 0; y < kHeight; ++y) {
            auto* row = reinterpret_cast<const uint16_t*>(frame->data[0] + (kHeight - 1 - y) * frame->linesize[0]);
            for (int x = 0; x < kWidth; ++x) {
                const uint16_t a = row[x], b = source[static_cast<size_t>(y) * kWidth + x];
                const int d[3] = {((a >> 10) & 31) - (b >> 10), ((a >> 5) & 31) - ((b >> 5) & 31), (a & 31) - (b & 31)};
                squared += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
            }
        }
        samples += 3 * static_cast<int64_t>(kPixels);
        return true;
    }
    double psnr() const { return 10 * std::log10(31.0 * 31.0 / std::max(squared / samples, 1e-9)); }
};

struct Tally {
    std::vector<double> cpu;
    double bytes = 0;
    Quality quality;
    void report(benchmark::State& state, const char* who) {
        std::sort(cpu.begin(), cpu.end());
        double sum = 0;
        for (double c : cpu) sum += c;
        state.counters[std::string(who) + "_cpu_ms_median"] = cpu[cpu.size() / 2];
        state.counters[std::string(who) + "_cpu_ms_mean"] = sum / static_cast<double>(cpu.size());
        state.counters[std::string(who) + "_bytes"] = bytes / static_cast<double>(cpu.size());
        state.counters[std::string(who) + "_psnr_db"] = quality.psnr();
    }
};

struct Ours {
    msvideo1::Encoder encoder;
    std::vector<uint8_t> out;
    Tally tally;
    double forms[4] = {};  // blocks kept, one, two, eight colours
    explicit Ours(double q) {
        encoder.open(kWidth, kHeight);
        encoder.setQuality(q);
        encoder.setKeyInterval(kKeyInterval);
        out.resize(encoder.maxFrameBytes());
    }
    bool frame(const Picture& p) {
        const double t0 = threadCpuMs();
        const auto f = encoder.encodeRgb555(p.data(), kWidth * 2, out.data());
        tally.cpu.push_back(threadCpuMs() - t0);
        tally.bytes += static_cast<double>(f.bytes);
        const auto& c = encoder.counts();
        forms[0] += c.skipped, forms[1] += c.one, forms[2] += c.two, forms[3] += c.eight;
        return tally.quality.add(out.data(), static_cast<int>(f.bytes), p);
    }
    // The share of each form among all blocks, in per cent.
    void reportForms(benchmark::State& state) {
        const double all = forms[0] + forms[1] + forms[2] + forms[3];
        const char* names[4] = {"ours_kept_pct", "ours_one_pct", "ours_two_pct", "ours_eight_pct"};
        for (int i = 0; i < 4; ++i) state.counters[names[i]] = 100 * forms[i] / all;
    }
};

struct Theirs {
    ContextPtr ctx;
    std::unique_ptr<AVFrame, FrameDeleter> frame{av_frame_alloc()};
    std::unique_ptr<AVPacket, PacketDeleter> packet{av_packet_alloc()};
    int64_t pts = 0;
    Tally tally;
    Theirs() {
        const AVCodec* codec = avcodec_find_encoder_by_name("msvideo1");
        if (!codec) return;
        ctx.reset(avcodec_alloc_context3(codec));
        ctx->width = kWidth;
        ctx->height = kHeight;
        ctx->pix_fmt = AV_PIX_FMT_RGB555LE;
        ctx->time_base = AVRational{1, 60};
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "keyint_min", "60", 0);
        if (avcodec_open2(ctx.get(), codec, &opts) < 0) ctx.reset();
        av_dict_free(&opts);
        frame->format = AV_PIX_FMT_RGB555LE;
        frame->width = kWidth;
        frame->height = kHeight;
        av_frame_get_buffer(frame.get(), 0);
    }
    bool frame_(const Picture& p) {
        if (!ctx || av_frame_make_writable(frame.get()) < 0) return false;
        for (int y = 0; y < kHeight; ++y)  // FFmpeg's pictures are top-down
            std::memcpy(frame->data[0] + y * frame->linesize[0], &p[static_cast<size_t>(kHeight - 1 - y) * kWidth],
                        kWidth * 2);
        frame->pts = pts++;
        const double t0 = threadCpuMs();
        if (avcodec_send_frame(ctx.get(), frame.get()) < 0 || avcodec_receive_packet(ctx.get(), packet.get()) < 0)
            return false;
        tally.cpu.push_back(threadCpuMs() - t0);
        tally.bytes += packet->size;
        const bool ok = tally.quality.add(packet->data, packet->size, p);
        av_packet_unref(packet.get());
        return ok;
    }
};

void BM_SideBySide(benchmark::State& state) {
    const int set = static_cast<int>(state.range(0));
    const double q = static_cast<double>(state.range(1)) / 100.0;
    const auto& frames = pictures(set);
    for (auto _ : state) {
        Ours ours(q);
        Theirs theirs;
        for (const Picture& p : frames)
            if (!ours.frame(p) || !theirs.frame_(p)) {
                state.SkipWithError("an encoder or the decoder failed");
                return;
            }
        ours.tally.report(state, "ours");
        theirs.tally.report(state, "ffmpeg");
    }
    state.SetLabel(set == 0 ? "board picture" : "noisy photo");
}

void BM_Curve(benchmark::State& state) {
    const int set = static_cast<int>(state.range(0));
    const auto& frames = pictures(set);
    for (auto _ : state) {
        Ours ours(static_cast<double>(state.range(1)) / 100.0);
        for (const Picture& p : frames)
            if (!ours.frame(p)) {
                state.SkipWithError("the encoder or the decoder failed");
                return;
            }
        ours.tally.report(state, "ours");
        ours.reportForms(state);
    }
    state.SetLabel(set == 0 ? "board picture" : "noisy photo");
}

}  // namespace

BENCHMARK(BM_SideBySide)
    ->ArgsProduct({{0, 1}, {0, 50, 85, 100}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_Curve)
    ->ArgsProduct({{0, 1}, {0, 10, 20, 30, 40, 50, 60, 70, 80, 85, 90, 95, 97, 99, 100}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_MAIN();
