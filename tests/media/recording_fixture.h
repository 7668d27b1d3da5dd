#pragma once
// Whole recordings: frames in, an AVI file out, checked with the ffmpeg tools.
// The fixture and helpers shared by the recording tests.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>

#include "display/decode.h"
#include "record/recording.h"
#include "support/debug_capture.h"
#include "settings/settings.h"
#include "usb/sim/sim_board.h"
#include "usb/sim/sim_picture.h"

namespace recording_fixture {

namespace fs = std::filesystem;

// Sound capture comes from a file through SDL's disk driver, unless the
// environment chose a driver already.
inline const bool diskAudio = [] {
    setenv("SDL_AUDIODRIVER", "disk", 0);
    return std::string(getenv("SDL_AUDIODRIVER")) == "disk";
}();

inline std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

inline bool haveTool(const char* name) { return run(std::string("command -v ") + name + " 2>/dev/null").size() > 0; }

// ffprobe's streams as key/value maps.
inline std::vector<std::map<std::string, std::string>> probe(const std::string& file) {
    std::vector<std::map<std::string, std::string>> streams;
    std::string out = run("ffprobe -v error -count_packets -show_entries "
                          "stream=codec_type,codec_name,width,height,nb_frames,nb_read_packets,sample_rate,channels "
                          "-of flat '" + file + "'");
    std::regex line(R"(streams\.stream\.(\d+)\.(\w+)=\"?([^\"\n]*)\"?)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
        size_t index = std::stoul((*it)[1]);
        if (streams.size() <= index) streams.resize(index + 1);
        streams[index][(*it)[2]] = (*it)[3];
    }
    return streams;
}

inline const std::map<std::string, std::string>* findStream(const std::vector<std::map<std::string, std::string>>& s,
                                                      const char* type) {
    for (auto& m : s)
        if (m.count("codec_type") && m.at("codec_type") == type) return &m;
    return nullptr;
}

// The 2D picture: colour bars on the top screen, two flat halves on the bottom.
inline constexpr uint32_t kBars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
inline constexpr uint32_t kBottomLeft = 0xFF8000, kBottomRight = 0x4080C0;

inline uint32_t pictureAt(int x, int y) {
    if (y < 240) return kBars[x / 50];
    if (x < 40 || x >= 360) return 0;
    return x < 200 ? kBottomLeft : kBottomRight;
}

// The largest channel difference between the decoded first frame and the
// picture, away from colour edges (where chroma subsampling blurs).
inline int firstFrameError(const std::string& file) {
    std::string raw = run("ffmpeg -v error -i '" + file + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    if (raw.size() != 400u * 480 * 3) return 1000;
    int worst = 0;
    for (int y = 4; y < 480; y += 8)
        for (int x = 4; x < 400; x += 8) {
            if ((x + 4) % 50 < 8 || (y >= 236 && y < 244) || (x > 36 && x < 44) || (x > 196 && x < 204) ||
                (x > 356 && x < 364))
                continue;
            uint32_t want = pictureAt(x, y);
            const uint8_t* got = reinterpret_cast<const uint8_t*>(&raw[(y * 400 + x) * 3]);
            worst = std::max({worst, std::abs(got[0] - int(want >> 16)), std::abs(got[1] - int((want >> 8) & 0xFF)),
                              std::abs(got[2] - int(want & 0xFF))});
        }
    return worst;
}

// The reference count as the streaming thread leaves it.
inline int32_t refs(FrameBuffer& f) {
    std::lock_guard lock(f.mutex);
    return f.refCount;
}

struct Frames {
    Frames()
        : images(kCount, std::vector<uint32_t>(400 * 480)),
          sound(kCount, std::vector<uint8_t>(kVideoStorageBytes - kFrameVideoBytes)),
          frames(kCount) {
        for (int i = 0; i < kCount; ++i) {
            for (int y = 0; y < 480; ++y)
                for (int x = 0; x < 400; ++x) images[i][y * 400 + x] = pictureAt(x, y);
            frames[i].displayImage = images[i].data();
            frames[i].layout = displayTypeTable[1];
            frames[i].refCount = 1;  // the dispatch's reference
            frames[i].audioData = sound[i].data();
        }
    }
    // A buffer nobody else holds, as the pool would hand out.
    FrameBuffer* take() {
        for (auto& f : frames)
            if (refs(f) == 1) return &f;
        return nullptr;
    }
    bool allBack() {
        for (auto& f : frames)
            if (refs(f) != 1) return false;
        return true;
    }
    static constexpr int kCount = 12;
    std::vector<std::vector<uint32_t>> images;
    std::vector<std::vector<uint8_t>> sound;
    std::vector<FrameBuffer> frames;
};

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveTool("ffprobe") || !haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg tools not installed";
        folder = fs::temp_directory_path() / ("kestrel-rec-" + std::to_string(getpid()));
        fs::create_directories(folder);
        previous = fs::current_path();
        fs::current_path(folder);
        utf8ToField(settings.outputFolder, folder.string() + "/");
        utf8ToField(settings.videoCodec, "Microsoft Video 1");
        utf8ToField(settings.recordingSource, "(no sound)");
        settings.videoQuality = 0.85;
        settings.recordFps = 30;
        settings.recordScreens = 0;
        settings.displayType = 1;
        settings.videoCodecSettingsSize = 0;
        videoCodecSettings.clear();
        setCodecDialogHook(nullptr);
    }
    void TearDown() override {
        stopRecordingGraph();
        if (!previous.empty()) fs::current_path(previous);
        if (!folder.empty()) fs::remove_all(folder);
    }

    // Offers a frame every 1/30 s, as the frame dispatch would.
    void feed(std::chrono::milliseconds length) {
        auto end = std::chrono::steady_clock::now() + length;
        auto next = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < end) {
            if (IKestrelCaptureApp* app = recordingApp())
                if (FrameBuffer* f = frames.take()) app->pushFrame(f);
            next += std::chrono::microseconds(33333);
            std::this_thread::sleep_until(next);
        }
    }

    void waitDrained() {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!frames.allBack() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::string record(const char* name, std::chrono::milliseconds length) {
        EXPECT_TRUE(startRecordingGraph(name));
        feed(length);
        stopRecordingGraph();
        EXPECT_TRUE(frames.allBack());
        return (folder / name).string();
    }

    // The simulated board for `length`: frame k at k / 59.83 s with its
    // sound, and its once-a-second marker (a white square on the top
    // screen) in the picture. Frames not taken while all
    // buffers are held are lost, as on the board.
    void feedBoard(std::chrono::milliseconds length) {
        const auto start = std::chrono::steady_clock::now();
        // The board was running before the recording: its first frame
        // comes part way into a second.
        constexpr uint64_t kFirst = 20;
        for (uint64_t k = kFirst;; ++k) {
            const auto due = start + std::chrono::microseconds(static_cast<int64_t>((k - kFirst) * 1e6 / 59.83));
            if (due - start > length) break;
            std::this_thread::sleep_until(due);
            IKestrelCaptureApp* app = recordingApp();
            FrameBuffer* f = frames.take();
            if (!app || !f) {
                if (usb::SimBoard::isMarkerFrame(k) || usb::SimBoard::isMarkerFrame(k - 1)) ++lostMarkers;
                continue;
            }
            // Lit for two frames: at 30 slots a second every other frame
            // shares a slot and never reaches the file's picture.
            const bool lit = usb::SimBoard::isMarkerFrame(k) || (k > 0 && usb::SimBoard::isMarkerFrame(k - 1));
            const uint32_t mark = lit ? 0xFFFFFF : 0;
            for (int y = usb::SimBoard::kSecondMarkerY; y < usb::SimBoard::kSecondMarkerY + 16; ++y)
                for (int x = usb::SimBoard::kSecondMarkerX; x < usb::SimBoard::kSecondMarkerX + 16; ++x)
                    f->displayImage[y * 400 + x] = mark;
            usb::drawSound(f->audioData, k);
            f->audioLength = static_cast<int32_t>(4 * usb::SimBoard::samplesInFrame(k));
            app->pushFrame(f);
        }
    }

    fs::path folder, previous;
    Frames frames;
    int lostMarkers = 0;  // marker frames that found every buffer held
};

// The first capture device's name (SDL's disk driver lists one).
inline std::string firstCaptureDevice() {
    std::string name;
    findDevice(nullptr, media::Category::AudioInput, [&](const media::Moniker&, const std::string& n, const char*) {
        if (name.empty()) name = n;
        return std::shared_ptr<media::Filter>{};
    });
    return name;
}

}  // namespace recording_fixture
