// Recordings with the board's own sound, and recordings that are cut short.
#include "recording_fixture.h"

#include <sys/stat.h>

#include <atomic>

using namespace recording_fixture;

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
                          " -vf crop=16:16:" + std::to_string(usb::SimBoard::kSecondMarkerX) + ":" +
                          std::to_string(usb::SimBoard::kSecondMarkerY) + " -f rawvideo -pix_fmt gray -");
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
    settings.recordScreens = 1;                  // the top screen, with the marker, keeps the compressor quick
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

// The capture device gives a second of sound, then nothing (its driver
// hangs): the picture goes on, the status line says the sound stopped, and
// the file says how much sound it holds, which is what the device gave.
TEST_F(RecordingTest, ASoundDeviceThatStopsMidwayEndsOnlyTheSound) {
    if (!diskAudio) GTEST_SKIP() << "another SDL audio driver was chosen";
    // The disk driver reads its input from a pipe that the test feeds.
    const std::string pipe = (folder / "in.fifo").string();
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    setenv("SDL_DISKAUDIOFILEIN", pipe.c_str(), 1);
    std::atomic<bool> release{false};
    std::thread feeder([&] {
        const int fd = ::open(pipe.c_str(), O_WRONLY);  // once the device opens it
        if (fd < 0) return;
        std::vector<int16_t> second(2 * 48000, 1000);  // a quiet tone of a second
        const char* p = reinterpret_cast<const char*>(second.data());
        for (size_t left = second.size() * 2; left > 0;) {
            const ssize_t n = ::write(fd, p, left);
            if (n <= 0) break;
            p += n;
            left -= size_t(n);
        }
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::close(fd);  // the driver reads silence after this
    });
    const std::string device = firstCaptureDevice();
    ASSERT_FALSE(device.empty());
    utf8ToField(settings.recordingSource, device);
    ASSERT_TRUE(startRecordingGraph("stops.avi"));
    std::string status;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(4500);
    while (std::chrono::steady_clock::now() < until) {
        feed(std::chrono::milliseconds(250));
        status = formatRecordingStatus();
    }
    EXPECT_NE(status.find("FPS, no sound: " + device + " stopped giving sound"), std::string::npos) << status;
    // The driver wakes up again: what it gives now stays out of the file.
    release = true;
    feeder.join();
    feed(std::chrono::milliseconds(500));
    stopRecordingGraph();
    EXPECT_TRUE(frames.allBack());

    EXPECT_EQ(run("ffmpeg -v error -i stops.avi -f null - 2>&1"), "");
    auto streams = probe("stops.avi");
    const auto* video = findStream(streams, "video");
    const auto* audio = findStream(streams, "audio");
    ASSERT_TRUE(video && audio);
    EXPECT_GE(std::stoi(video->at("nb_frames")), 100);  // 5 s at 30 a second, less the start
    // The stated length (the stream header's) is the sound in the file:
    // the device's second and a short lead-in of silence while it started.
    const double stated = std::stod(audio->at("nb_frames")) / 48000;  // its length field, in samples
    const double held = double(run("ffmpeg -v error -i stops.avi -map 0:a -f s16le -").size()) / (4 * 48000);
    EXPECT_NEAR(stated, held, 0.03);
    EXPECT_GT(held, 0.95);
    EXPECT_LT(held, 1.5);
    std::printf("sound: %.3f s stated, %.3f s held\n", stated, held);
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
    if (waited < std::chrono::milliseconds(1900)) {
        EXPECT_EQ(std::stoi(counted), pushed);
    }
}

// Run as a child process by the next test: records the board until killed.
TEST_F(RecordingTest, ChildRecordsUntilKilled) {
    const char* ready = getenv("KESTREL_KILL_READY");
    if (!ready) GTEST_SKIP() << "only as the child of KilledRecordingStillStatesItsLength";
    utf8ToField(settings.recordingSource, "");
    ASSERT_TRUE(startRecordingGraph("killed.avi"));
    ::close(::open(ready, O_CREAT | O_WRONLY, 0644));
    // What has been recorded so far (the last slot taken), for the parent.
    const std::string progress = std::string(ready) + ".time";
    for (int i = 0; i < 600; ++i) {
        feedBoard(std::chrono::milliseconds(100));
        int64_t t = 0;
        if (IKestrelCaptureApp* app = recordingApp()) app->getStat(kStatStreamTime, &t);
        std::ofstream(progress + ".new") << static_cast<double>(t) / 1e7;
        fs::rename(progress + ".new", progress);
    }
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
    double recorded = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(fs::exists(ready)) << "the child never started recording";

    // On a busy machine the child may have recorded less than the time that passed.
    double slots = 0;
    std::ifstream(ready.string() + ".time") >> slots;
    if (slots > 0) recorded = std::min(recorded, slots);
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
