// A long share measured from the consumer's side: starts a private PipeWire
// and the demo sharing, reads both nodes for the given time and prints, once
// a minute, the frames received, the board frames missing between them (from
// the picture's frame counter), and the sound's offset against the picture
// (the once-a-second marker square against the pulse of the same frame, by
// arrival time; positive: the sound comes later).
//   kestrel-share-probe DEMO_BINARY SECONDS
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/private_pipewire.h"
#include "usb/sim/sim_board.h"

namespace {

using usb::SimBoard;
constexpr int kWidth = 400;
constexpr int kRate = 48000;

// Ctrl+C or SIGTERM ends the run early, everything it started stopped.
std::atomic<bool> interrupted{false};
void onSignal(int) { interrupted.store(true); }

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

SimBoard::Rgb pixel(const uint8_t* frame, int stride, bool bottom, int x, int y) {
    if (bottom) {
        x += 40;
        y += 240;
    }
    const uint8_t* q = frame + size_t(y) * stride + size_t(x) * 4;
    return {q[2], q[1], q[0]};
}

int64_t counterOf(const uint8_t* frame, int stride) {
    int64_t number = 0, place = 10000;
    for (int digit = 0; digit < 5; ++digit, place /= 10) {
        int found = -1;
        for (int d = 0; d <= 9 && found < 0; ++d) {
            bool same = true;
            // The middle of each of the glyph's 3 x 5 cells (6 pixels square).
            for (int y = 173; y < 200 && same; y += 6)
                for (int x = 103 + digit * 24; x < 100 + digit * 24 + 18 && same; x += 6)
                    same = pixel(frame, stride, true, x, y) == SimBoard::expectedPixel(uint64_t(d * place), true, x, y);
            if (same) found = d;
        }
        if (found < 0) return -1;
        number = number * 10 + found;
    }
    return number;
}

struct Probe {
    pw_main_loop* loop = nullptr;
    pw_stream* video = nullptr;
    pw_stream* sound = nullptr;
    spa_hook videoListener{}, soundListener{};
    int stride = kWidth * 4;
    // Figures.
    uint64_t frames = 0, missing = 0, unreadable = 0;
    int64_t lastCounter = -1;
    std::vector<double> markers, pulses;  // arrival times
    bool inPulse = false;
};

void onVideo(void* data) {
    auto* p = static_cast<Probe*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(p->video);
    if (!b) return;
    const spa_data& d = b->buffer->datas[0];
    if (d.data && d.chunk->size >= uint32_t(p->stride) * 480) {
        const auto* f = static_cast<const uint8_t*>(d.data) + d.chunk->offset;
        ++p->frames;
        const int64_t n = counterOf(f, p->stride);
        if (n < 0) {
            ++p->unreadable;
        } else {
            if (p->lastCounter >= 0 && n > p->lastCounter + 1) p->missing += uint64_t(n - p->lastCounter - 1);
            p->lastCounter = n;
        }
        if (pixel(f, p->stride, false, SimBoard::kSecondMarkerX + 8, SimBoard::kSecondMarkerY + 8) ==
            SimBoard::Rgb{255, 255, 255})
            p->markers.push_back(nowSeconds());
    }
    pw_stream_queue_buffer(p->video, b);
}

void onSound(void* data) {
    auto* p = static_cast<Probe*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(p->sound);
    if (!b) return;
    const spa_data& d = b->buffer->datas[0];
    if (d.data) {
        const auto* s = reinterpret_cast<const int16_t*>(static_cast<const uint8_t*>(d.data) + d.chunk->offset);
        const uint32_t n = d.chunk->size / 4;
        const double end = nowSeconds();
        for (uint32_t i = 0; i < n; ++i) {
            const bool pulse = s[i * 2] > 16000 && s[i * 2 + 1] < -16000;
            if (pulse && !p->inPulse) p->pulses.push_back(end - double(n - i) / kRate);
            p->inPulse = pulse;
        }
    }
    pw_stream_queue_buffer(p->sound, b);
}

void onVideoParam(void* data, uint32_t id, const spa_pod* param) {
    auto* p = static_cast<Probe*>(data);
    spa_video_info_raw info{};
    if (id == SPA_PARAM_Format && param && spa_format_video_raw_parse(param, &info) >= 0)
        p->stride = int(info.size.width) * 4;
}

// Offsets of each pulse against the nearest marker (within half a second).
std::vector<double> offsets(const Probe& p, double from) {
    std::vector<double> result;
    for (double t : p.pulses) {
        if (t < from) continue;
        double best = 1;
        for (double m : p.markers)
            if (std::abs(t - m) < std::abs(best)) best = t - m;
        if (std::abs(best) < 0.5) result.push_back(best * 1000);
    }
    return result;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DEMO_BINARY SECONDS\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[2]);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    PrivatePipeWire pipewire;
    std::string error;
    if (!pipewire.start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("private PipeWire ready after %.0f ms\n", pipewire.startMs());
    Environment env = pipewire.environment();
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    env.push_back({"SDL_AUDIODRIVER", "dummy"});
    ChildProcess demo;
    if (!demo.start({argv[1], "--pipewire"}, env, pipewire.folder() + "/demo.log") ||
        !pipewire.waitForNode("kestrel-capture-video", 15000)) {
        std::fprintf(stderr, "the demo did not share\n");
        return 1;
    }

    pw_init(&argc, &argv);
    Probe probe;
    probe.loop = pw_main_loop_new(nullptr);
    pw_loop* loop = pw_main_loop_get_loop(probe.loop);
    pw_stream_events videoEvents{};
    videoEvents.version = PW_VERSION_STREAM_EVENTS;
    videoEvents.process = onVideo;
    videoEvents.param_changed = onVideoParam;
    pw_stream_events soundEvents{};
    soundEvents.version = PW_VERSION_STREAM_EVENTS;
    soundEvents.process = onSound;
    probe.video = pw_stream_new_simple(loop, "share-probe-video",
                                       pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                         PW_KEY_TARGET_OBJECT, "kestrel-capture-video", nullptr),
                                       &videoEvents, &probe);
    probe.sound = pw_stream_new_simple(loop, "share-probe-sound",
                                       pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                         PW_KEY_TARGET_OBJECT, "kestrel-capture-sound", nullptr),
                                       &soundEvents, &probe);
    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_rectangle size{400, 480};
    const spa_fraction rate{5983, 100};
    const spa_pod* videoParams[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)))};
    spa_audio_info_raw audio{};
    audio.format = SPA_AUDIO_FORMAT_S16_LE;
    audio.rate = kRate;
    audio.channels = 2;
    audio.position[0] = SPA_AUDIO_CHANNEL_FL;
    audio.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* soundParams[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &audio)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    pw_stream_connect(probe.video, PW_DIRECTION_INPUT, PW_ID_ANY, flags, videoParams, 1);
    pw_stream_connect(probe.sound, PW_DIRECTION_INPUT, PW_ID_ANY, flags, soundParams, 1);

    const double start = nowSeconds();
    double minuteStart = start;
    uint64_t minuteFrames = 0;
    while (nowSeconds() - start < seconds && !interrupted.load()) {
        pw_loop_iterate(loop, 100);
        const double now = nowSeconds();
        if (now - minuteStart >= 60 || now - start >= seconds || interrupted.load()) {
            const std::vector<double> o = offsets(probe, minuteStart);
            std::printf("%5.0f s: %llu frames (%.2f/s), %llu board frames missing, %llu unreadable, "
                        "sound offset %.1f ms (median of %zu markers, %.1f..%.1f)\n",
                        now - start, (unsigned long long)probe.frames, double(probe.frames - minuteFrames) / (now - minuteStart),
                        (unsigned long long)probe.missing, (unsigned long long)probe.unreadable, median(o), o.size(),
                        o.empty() ? 0 : *std::min_element(o.begin(), o.end()),
                        o.empty() ? 0 : *std::max_element(o.begin(), o.end()));
            std::fflush(stdout);
            minuteStart = now;
            minuteFrames = probe.frames;
        }
        if (!demo.running()) {
            std::printf("the demo ended\n");
            break;
        }
    }
    pw_stream_destroy(probe.video);
    pw_stream_destroy(probe.sound);
    pw_main_loop_destroy(probe.loop);
    demo.stop();
    return 0;
}
