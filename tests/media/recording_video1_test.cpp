// Recordings with the default compressor, our Microsoft Video 1 encoder, as
// players see them.
#include "recording_fixture.h"

using namespace recording_fixture;

namespace {

struct Packet {
    int64_t pts;
    bool key;
};

std::vector<Packet> videoPackets(const std::string& file) {
    std::vector<Packet> list;
    std::istringstream lines(
        run("ffprobe -v error -select_streams v -show_entries packet=pts,flags -of csv=p=0 '" + file + "'"));
    std::string line;
    while (std::getline(lines, line)) {
        const size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        list.push_back({std::stoll(line.substr(0, comma)), line.compare(comma + 1, 1, "K") == 0});
    }
    return list;
}

TEST_F(RecordingTest, DefaultCodecKeyFramesFollowTheTimeLine) {
    ASSERT_TRUE(startRecordingGraph("keys.avi"));
    // A pause in the frames leaves empty slots; the key frames still come
    // at least once a second of the recording's time line.
    feed(std::chrono::milliseconds(600));
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    feed(std::chrono::milliseconds(1500));
    waitDrained();
    stopRecordingGraph();

    EXPECT_EQ(run("ffmpeg -v warning -i keys.avi -f null - 2>&1"), "");
    const std::vector<Packet> packets = videoPackets("keys.avi");
    ASSERT_GT(packets.size(), 30u);
    EXPECT_TRUE(packets.front().key);
    int64_t lastKey = packets.front().pts;
    for (const Packet& p : packets) {
        if (p.key) lastKey = p.pts;
        EXPECT_LT(p.pts - lastKey, 30) << "a second or more after the last key frame";
    }
    EXPECT_GE(packets.back().pts, 85) << "the pause is part of the time line";
}

// Pixels of the first decoded frame off the picture by more than RGB555 loses.
int wrongPixels(const std::string& file) {
    const std::string raw = run("ffmpeg -v error -i '" + file + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    if (raw.size() != 400u * 480 * 3) return -1;
    int wrong = 0;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 400; ++x) {
            const uint32_t want = pictureAt(x, y);
            const uint8_t* got = reinterpret_cast<const uint8_t*>(&raw[(y * 400 + x) * 3]);
            const int worst = std::max({std::abs(got[0] - int(want >> 16)), std::abs(got[1] - int((want >> 8) & 0xFF)),
                                        std::abs(got[2] - int(want & 0xFF))});
            wrong += worst > 8;
        }
    return wrong;
}

TEST_F(RecordingTest, DefaultCodecTakesTheSavedQuality) {
    // The colour bars' edges cross 4x4 blocks: at 0 such a block is one
    // colour, at 1 it keeps both.
    settings.videoQuality = 0.0;
    record("low.avi", std::chrono::milliseconds(300));
    settings.videoQuality = 1.0;
    record("high.avi", std::chrono::milliseconds(300));
    EXPECT_GT(wrongPixels("low.avi"), 1000);
    EXPECT_EQ(wrongPixels("high.avi"), 0);
}

}  // namespace
