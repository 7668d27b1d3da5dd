// Whole recordings: frames in, an AVI file out, checked with the ffmpeg tools.
#include "recording_fixture.h"

using namespace recording_fixture;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

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

TEST_F(RecordingTest, H264KeepsAProfileCommonPlayersDecode) {
    utf8ToField(settings.videoCodec, "H.264 (x264)");
    if (!getFilter("H.264 (x264)")) GTEST_SKIP() << "no x264 encoder";
    for (double quality : {1.0, 0.0}) {
        SCOPED_TRACE(quality);
        settings.videoQuality = quality;
        const std::string file = record(quality > 0.5 ? "best.avi" : "least.avi", std::chrono::milliseconds(300));
        std::string profile = run("ffprobe -v error -select_streams v -show_entries stream=profile -of csv=p=0 '" +
                                  file + "'");
        EXPECT_EQ(profile, "High\n");
    }
    // Full quality still gives the picture back closely.
    EXPECT_LE(firstFrameError("best.avi"), 12);
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
    if (!kSanitizerBuild) {  // there the picture falls far behind real time, the sound does not
        EXPECT_GT(soundSeconds, pictureSeconds * 0.7);
        EXPECT_LT(soundSeconds, pictureSeconds + 0.25);
    }
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
