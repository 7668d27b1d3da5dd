// Whole recordings: frames in, an AVI file out, checked with the ffmpeg tools.
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
#include "ui/settings.h"
#include "usb/sim_board.h"
#include "usb/sim_picture.h"

namespace fs = std::filesystem;

namespace {

// Sound capture comes from a file through SDL's disk driver, unless the
// environment chose a driver already.
const bool diskAudio = [] {
    setenv("SDL_AUDIODRIVER", "disk", 0);
    return std::string(getenv("SDL_AUDIODRIVER")) == "disk";
}();

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

bool haveTool(const char* name) { return run(std::string("command -v ") + name + " 2>/dev/null").size() > 0; }

// ffprobe's streams as key/value maps.
std::vector<std::map<std::string, std::string>> probe(const std::string& file) {
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

const std::map<std::string, std::string>* findStream(const std::vector<std::map<std::string, std::string>>& s,
                                                      const char* type) {
    for (auto& m : s)
        if (m.count("codec_type") && m.at("codec_type") == type) return &m;
    return nullptr;
}

// The 2D picture: colour bars on the top screen, two flat halves on the bottom.
constexpr uint32_t kBars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
constexpr uint32_t kBottomLeft = 0xFF8000, kBottomRight = 0x4080C0;

uint32_t pictureAt(int x, int y) {
    if (y < 240) return kBars[x / 50];
    if (x < 40 || x >= 360) return 0;
    return x < 200 ? kBottomLeft : kBottomRight;
}

// The largest channel difference between the decoded first frame and the
// picture, away from colour edges (where chroma subsampling blurs).
int firstFrameError(const std::string& file) {
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
int32_t refs(FrameBuffer& f) {
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
    // sound, and its once-a-second marker (a white square at the top
    // screen's top-right corner) in the picture. Frames not taken while all
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
            for (int y = 0; y < 16; ++y)
                for (int x = 384; x < 400; ++x) f->displayImage[y * 400 + x] = mark;
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
std::string firstCaptureDevice() {
    std::string name;
    findDevice(nullptr, media::Category::AudioInput, [&](const media::Moniker&, const std::string& n, const char*) {
        if (name.empty()) name = n;
        return std::shared_ptr<media::Filter>{};
    });
    return name;
}

TEST_F(RecordingTest, DefaultCodecRecordsThePictureInRealTime) {
    DebugCapture debug;
    ASSERT_TRUE(startRecordingGraph("00000.avi"));
    EXPECT_TRUE(recordingRunning());
    std::string folderText = folder.string() + "/00000.avi\n";
    EXPECT_EQ(formatRecordingStatus(), folderText + "00:00:00, 0 MB (0 kB/s), 0.00 FPS");
    feed(std::chrono::milliseconds(1500));
    std::string status = formatRecordingStatus();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(status, m, std::regex(folderText + R"(00:00:01, 0 MB \(\d+ kB/s\), (\d+\.\d\d) FPS)")))
        << status;
    // Samples per second of recording time: 30 unless a busy machine kept
    // the compressor from keeping up and slots went empty.
    EXPECT_GT(std::stod(m[1]), 5.0) << status;
    EXPECT_LE(std::stod(m[1]), 31.0) << status;
    feed(std::chrono::milliseconds(1500));
    // Stopping drops what still waits in the queue; on a busy machine that
    // could be a good part of a second, so let the compressor catch up.
    waitDrained();
    stopRecordingGraph();
    EXPECT_FALSE(recordingRunning());
    EXPECT_EQ(recordingApp(), nullptr);
    EXPECT_EQ(formatRecordingStatus(), folderText + "Stopped.");
    EXPECT_TRUE(frames.allBack());
    EXPECT_NE(debug.text().find("getAudioSource failed\n"), std::string::npos);

    auto streams = probe("00000.avi");
    ASSERT_EQ(streams.size(), 1u) << "no sound stream with \"(no sound)\"";
    const auto& v = streams[0];
    EXPECT_EQ(v.at("codec_name"), "msvideo1");
    EXPECT_EQ(v.at("width"), "400");
    EXPECT_EQ(v.at("height"), "480");
    int count = std::stoi(v.at("nb_frames"));
    EXPECT_GE(count, 85);
    EXPECT_LE(count, 95);

    // The first frame, decoded, is the picture: right way up, right colours
    // (5 bits per channel).
    EXPECT_LE(firstFrameError("00000.avi"), 12);
}

TEST_F(RecordingTest, ScreenChoiceSetsTheRecordedSize) {
    struct Row {
        uint32_t screens;
        const char* width;
        const char* height;
    };
    const Row rows[] = {{1, "400", "240"}, {2, "320", "240"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.screens);
        settings.recordScreens = row.screens;
        std::string file = record(row.screens == 1 ? "top.avi" : "bottom.avi", std::chrono::milliseconds(400));
        auto streams = probe(file);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(streams[0].at("width"), row.width);
        EXPECT_EQ(streams[0].at("height"), row.height);
    }
    // The bottom screen alone: the left half orange, the right half blue-grey.
    std::string raw = run("ffmpeg -v error -i bottom.avi -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(raw.size(), 320u * 240 * 3);
    auto at = [&](int x, int y) { return reinterpret_cast<const uint8_t*>(&raw[(y * 320 + x) * 3]); };
    EXPECT_NEAR(at(60, 120)[0], 0xFF, 12);
    EXPECT_NEAR(at(60, 120)[2], 0x00, 12);
    EXPECT_NEAR(at(260, 120)[2], 0xC0, 12);
}

TEST_F(RecordingTest, EveryCompressorWritesAPlayableFile) {
    std::vector<std::string> names;
    findDevice(nullptr, media::Category::VideoCompressor, [&](const media::Moniker&, const std::string& n, const char*) {
        names.push_back(n);
        return std::shared_ptr<media::Filter>{};
    });
    settings.videoQuality = 1.0;
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        utf8ToField(settings.videoCodec, names[i]);
        std::string file = record(("codec" + std::to_string(i) + ".avi").c_str(), std::chrono::milliseconds(300));
        auto streams = probe(file);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(streams[0].at("width"), "400");
        // Lossless compressors give the picture back exactly.
        int tolerance = names[i].find("lossless") != std::string::npos ? 0 : 12;
        EXPECT_LE(firstFrameError(file), tolerance);
    }
}

TEST_F(RecordingTest, QualityReachesTheCompressor) {
    utf8ToField(settings.videoCodec, "Motion JPEG");
    settings.videoQuality = 0.0;
    auto small = fs::file_size(record("low.avi", std::chrono::milliseconds(400)));
    settings.videoQuality = 1.0;
    auto large = fs::file_size(record("high.avi", std::chrono::milliseconds(400)));
    // Even the flat test picture needs half as many bytes again at full quality.
    EXPECT_GT(large, small * 3 / 2);
}

TEST_F(RecordingTest, MissingCodecAsksTheDialog) {
    static int calls;
    static const char* choose;
    setCodecDialogHook([] {
        ++calls;
        if (!choose) return 0;
        utf8ToField(settings.videoCodec, choose);
        return 1;
    });
    utf8ToField(settings.videoCodec, "No Such Codec");
    calls = 0;
    choose = nullptr;
    {
        DebugCapture debug;
        EXPECT_FALSE(startRecordingGraph("00001.avi"));
        EXPECT_EQ(calls, 1);
        EXPECT_NE(debug.text().find("getVideoCompressor() failed\n"), std::string::npos);
        EXPECT_EQ(recordingApp(), nullptr);
        EXPECT_EQ(formatRecordingStatus(), folder.string() + "/00001.avi\nStopped.");
    }
    choose = "Motion JPEG";
    EXPECT_TRUE(startRecordingGraph("00002.avi"));
    EXPECT_EQ(calls, 2);
    stopRecordingGraph();
    auto streams = probe("00002.avi");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].at("codec_name"), "mjpeg");

    // The window may stop the half-built recording while the dialog is up.
    utf8ToField(settings.videoCodec, "No Such Codec");
    setCodecDialogHook([] {
        stopRecordingGraph();
        utf8ToField(settings.videoCodec, "Motion JPEG");
        return 1;
    });
    EXPECT_FALSE(startRecordingGraph("00003.avi"));
    EXPECT_EQ(recordingApp(), nullptr);
}

TEST_F(RecordingTest, SoundFromTheCaptureDevice) {
    if (!diskAudio) GTEST_SKIP() << "another SDL audio driver was chosen";
    // Four seconds of a 1 kHz tone, 48 kHz stereo.
    std::string tone = (folder / "tone.raw").string();
    {
        std::ofstream out(tone, std::ios::binary);
        for (int i = 0; i < 48000 * 4; ++i) {
            int16_t s = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 1000.0 * i / 48000.0));
            out.write(reinterpret_cast<const char*>(&s), 2);
            out.write(reinterpret_cast<const char*>(&s), 2);
        }
    }
    setenv("SDL_DISKAUDIOFILEIN", tone.c_str(), 1);
    const std::string device = firstCaptureDevice();
    ASSERT_FALSE(device.empty());
    utf8ToField(settings.recordingSource, device);  // a stored device name
    record("sound.avi", std::chrono::milliseconds(1500));

    auto streams = probe("sound.avi");
    const auto* audio = findStream(streams, "audio");
    ASSERT_TRUE(audio) << "no sound stream";
    EXPECT_EQ(audio->at("codec_name"), "pcm_s16le");
    EXPECT_EQ(audio->at("channels"), "2");
    const auto* video = findStream(streams, "video");
    ASSERT_TRUE(video);

    // The tone's frequency from its zero crossings, away from the edges.
    std::string pcm = run("ffmpeg -v error -i sound.avi -map 0:a -f s16le -ac 1 -");
    const int16_t* s = reinterpret_cast<const int16_t*>(pcm.data());
    int rate = std::stoi(audio->at("sample_rate"));
    size_t n = pcm.size() / 2;
    ASSERT_GT(n, static_cast<size_t>(rate / 2));
    // Sound covers the recording. (The disk driver paces itself by sleeping,
    // so on a busy machine it delivers somewhat less than real time.)
    const double soundSeconds = static_cast<double>(n) / rate;
    const double pictureSeconds = std::stoi(video->at("nb_frames")) / 30.0;
    EXPECT_GT(soundSeconds, pictureSeconds * 0.7);
    EXPECT_LT(soundSeconds, pictureSeconds + 0.25);
    size_t from = n / 4, to = n * 3 / 4;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i)
        if ((s[i - 1] < 0) != (s[i] < 0)) ++crossings;
    double hz = crossings / 2.0 / (static_cast<double>(to - from) / rate);
    EXPECT_NEAR(hz, 1000.0, 20.0);
}

TEST_F(RecordingTest, FullDiskStopsTheRecordingAndKeepsTheFile) {
    utf8ToField(settings.videoCodec, "FFV1 lossless");
    // Noise does not compress: the limit comes with the first frames.
    uint32_t seed = 1;
    for (auto& image : frames.images)
        for (uint32_t& p : image) p = (seed = seed * 1664525u + 1013904223u) >> 8;
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);

    ASSERT_TRUE(startRecordingGraph("full.avi"));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (recordingRunning() && std::chrono::steady_clock::now() < until) feed(std::chrono::milliseconds(100));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(recordingRunning());
    EXPECT_EQ(recordingApp(), nullptr);
    std::string status = formatRecordingStatus();
    EXPECT_EQ(status.rfind(folder.string() + "/full.avi\nStopped: writing the file failed", 0), 0u) << status;
    EXPECT_FALSE(recordingFailure().empty());
    EXPECT_TRUE(frames.allBack());
    // What was written still plays.
    auto streams = probe("full.avi");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_GE(std::stoi(streams[0].at("nb_read_packets")), 1);
    std::string raw = run("ffmpeg -v error -i full.avi -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    EXPECT_EQ(raw.size(), 400u * 480 * 3);

    // The next recording starts clean.
    EXPECT_TRUE(startRecordingGraph("after.avi"));
    EXPECT_TRUE(recordingFailure().empty());
}

TEST_F(RecordingTest, RemovedFolderStopsTheRecording) {
    ASSERT_TRUE(startRecordingGraph("gone.avi"));
    feed(std::chrono::milliseconds(200));
    fs::remove_all(folder);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (recordingRunning() && std::chrono::steady_clock::now() < until) feed(std::chrono::milliseconds(100));
    EXPECT_FALSE(recordingRunning());
    EXPECT_EQ(formatRecordingStatus(), folder.string() + "/gone.avi\nStopped: the file or its folder was removed.");
    EXPECT_TRUE(frames.allBack());
}

}  // namespace

namespace {

// Times (s) of the marker's first appearance in each second, in picture and sound.
struct Markers {
    std::vector<double> video, audio;
    double videoSeconds = 0, audioSeconds = 0;
};

Markers findMarkers(const std::string& file, int fps) {
    Markers m;
    // The marker square alone, one entry per slot of the recording's rate.
    std::string raw = run("ffmpeg -v error -i '" + file + "' -map 0:v -vsync cfr -r " + std::to_string(fps) +
                          " -vf crop=16:16:384:0 -f rawvideo -pix_fmt gray -");
    const size_t frameBytes = 16 * 16;
    bool lit = false;
    for (size_t i = 0; (i + 1) * frameBytes <= raw.size(); ++i) {
        const bool now = static_cast<uint8_t>(raw[i * frameBytes + 8 * 16 + 8]) > 128;
        if (now && !lit) m.video.push_back(static_cast<double>(i) / fps);
        lit = now;
    }
    m.videoSeconds = static_cast<double>(raw.size() / frameBytes) / fps;
    std::string pcm = run("ffmpeg -v error -i '" + file + "' -map 0:a -f s16le -ac 2 -ar 48000 -");
    const int16_t* s = reinterpret_cast<const int16_t*>(pcm.data());
    const size_t n = pcm.size() / 4;
    int64_t last = -48000;
    for (size_t i = 0; i < n; ++i)
        if (s[2 * i] > usb::SimBoard::kPulseAmplitude / 2 && static_cast<int64_t>(i) - last > 24000) {
            m.audio.push_back(static_cast<double>(i) / 48000);
            last = static_cast<int64_t>(i);
        }
    m.audioSeconds = static_cast<double>(n) / 48000;
    return m;
}

}  // namespace

TEST_F(RecordingTest, BoardSoundIsTheDefaultAndKeepsInStep) {
    utf8ToField(settings.recordingSource, "");  // the first source: the board
    ASSERT_TRUE(startRecordingGraph("board.avi"));
    feedBoard(std::chrono::milliseconds(3300));
    stopRecordingGraph();
    EXPECT_TRUE(frames.allBack());
    EXPECT_TRUE(recordingSoundNote().empty());

    auto streams = probe("board.avi");
    const auto* audio = findStream(streams, "audio");
    ASSERT_TRUE(audio) << "no sound stream";
    EXPECT_EQ(audio->at("codec_name"), "pcm_s16le");
    EXPECT_EQ(audio->at("channels"), "2");
    EXPECT_EQ(audio->at("sample_rate"), "48000");

    // Picture and sound carry the same markers, within one slot (1/30 s).
    Markers m = findMarkers("board.avi", 30);
    // (A busy machine may hold every buffer when a marker frame comes.)
    if (lostMarkers > 0) GTEST_SKIP() << "marker frames found no free buffer";
    ASSERT_GE(m.video.size(), 3u);
    ASSERT_EQ(m.audio.size(), m.video.size());
    for (size_t i = 0; i < std::min(m.video.size(), m.audio.size()); ++i)
        EXPECT_LE(std::abs(m.audio[i] - m.video[i]), 1.0 / 30 + 1e-3)
            << "marker " << i << ": picture " << m.video[i] << " s, sound " << m.audio[i] << " s";
    // The sound covers the picture.
    EXPECT_NEAR(m.audioSeconds, m.videoSeconds, 0.1);
    std::printf("board sound: first marker offset %+.1f ms, sound %.3f s against picture %.3f s\n",
                (m.audio[0] - m.video[0]) * 1e3, m.audioSeconds, m.videoSeconds);
}

TEST_F(RecordingTest, ASoundDeviceThatFailsCostsOnlyTheSound) {
    if (!diskAudio) GTEST_SKIP() << "another SDL audio driver was chosen";
    // The disk driver opens its input file when the device opens.
    setenv("SDL_DISKAUDIOFILEIN", (folder / "missing" / "in.raw").c_str(), 1);
    const std::string device = firstCaptureDevice();
    ASSERT_FALSE(device.empty());
    utf8ToField(settings.recordingSource, device);
    ASSERT_TRUE(startRecordingGraph("mute.avi"));
    feed(std::chrono::milliseconds(600));
    const std::string status = formatRecordingStatus();
    EXPECT_NE(status.find("FPS, no sound: " + device + " could not be opened"), std::string::npos) << status;
    stopRecordingGraph();
    auto streams = probe("mute.avi");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].at("codec_type"), "video");
    EXPECT_GE(std::stoi(streams[0].at("nb_frames")), 5);
}

TEST_F(RecordingTest, AFailedStartSaysWhy) {
    fs::create_directory("taken.avi");  // a folder where the file should go
    EXPECT_FALSE(startRecordingGraph("taken.avi"));
    EXPECT_EQ(recordingApp(), nullptr);
    const std::string status = formatRecordingStatus();
    EXPECT_EQ(status.rfind(folder.string() + "/taken.avi\nStopped: the file could not be created (", 0), 0u)
        << status;
    // The next start is clean again.
    ASSERT_TRUE(startRecordingGraph("fine.avi"));
    stopRecordingGraph();
    EXPECT_EQ(formatRecordingStatus(), folder.string() + "/fine.avi\nStopped.");
}

TEST_F(RecordingTest, StopWritesTheQueuedFrames) {
    // A slow compressor (noise does not compress) at 60 slots a second:
    // frames queue up faster than they are written.
    utf8ToField(settings.videoCodec, "FFV1 lossless");
    settings.recordFps = 60;
    uint32_t seed = 7;
    for (auto& image : frames.images)
        for (uint32_t& p : image) p = (seed = seed * 1664525u + 1013904223u) >> 8;
    ASSERT_TRUE(startRecordingGraph("queued.avi"));
    int pushed = 0;
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) {
        next += std::chrono::microseconds(17500);  // one slot each
        std::this_thread::sleep_until(next);
        if (FrameBuffer* f = frames.take()) {
            ASSERT_EQ(recordingApp()->pushFrame(f), S_OK);
            ++pushed;
        }
    }
    const auto before = std::chrono::steady_clock::now();
    stopRecordingGraph();
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_LT(waited, std::chrono::milliseconds(2600));
    EXPECT_TRUE(frames.allBack());
    std::string counted = run("ffprobe -v error -count_frames -select_streams v -show_entries "
                              "stream=nb_read_frames -of csv=p=0 queued.avi");
    // Every frame that got a slot is in the file (unless the machine is so
    // slow that the 2 s were not enough).
    if (waited < std::chrono::milliseconds(1900)) EXPECT_EQ(std::stoi(counted), pushed);
}

// Run as a child process by the next test: records the board until killed.
TEST_F(RecordingTest, ChildRecordsUntilKilled) {
    const char* ready = getenv("KESTREL_KILL_READY");
    if (!ready) GTEST_SKIP() << "only as the child of KilledRecordingStillStatesItsLength";
    utf8ToField(settings.recordingSource, "");
    ASSERT_TRUE(startRecordingGraph("killed.avi"));
    ::close(::open(ready, O_CREAT | O_WRONLY, 0644));
    feedBoard(std::chrono::milliseconds(60000));
}

TEST_F(RecordingTest, KilledRecordingStillStatesItsLength) {
    const fs::path ready = folder / "ready";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("KESTREL_KILL_READY", ready.c_str(), 1);
        setenv("TMPDIR", (folder / "child").c_str(), 1);
        fs::create_directories(folder / "child");
        execl("/proc/self/exe", "child", "--gtest_filter=RecordingTest.ChildRecordsUntilKilled", nullptr);
        _exit(127);
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(ready) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(4300));
    const double recorded = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(fs::exists(ready)) << "the child never started recording";

    const std::string file = (folder / "child" / ("kestrel-rec-" + std::to_string(child)) / "killed.avi").string();
    ASSERT_TRUE(fs::exists(file)) << file;
    const double duration =
        std::atof(run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'").c_str());
    EXPECT_NEAR(duration, recorded, 2.0) << "ffprobe duration " << duration << " s, recorded " << recorded << " s";
    // And it plays: picture and sound decode.
    auto streams = probe(file);
    ASSERT_EQ(streams.size(), 2u);
    const Markers m = findMarkers(file, 30);
    EXPECT_GT(m.videoSeconds, recorded - 2.0);
    EXPECT_GT(m.audioSeconds, recorded - 2.0);
    std::printf("killed after %.2f s: ffprobe says %.2f s, picture %.2f s, sound %.2f s decode\n", recorded,
                duration, m.videoSeconds, m.audioSeconds);
}
