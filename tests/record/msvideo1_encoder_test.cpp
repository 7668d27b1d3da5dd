// The Microsoft Video 1 encoder's frame layout and its compressor's
// settings; what the pictures decode to is checked against libavcodec in
// tests/media.
#include <gtest/gtest.h>

#include <vector>

#include "record/codec/msvideo1_compressor.h"
#include "record/codec/msvideo1_encoder.h"

namespace {

TEST(Video1Encoder, TakesWholeBlocksOnly) {
    struct Row {
        int width, height;
        bool ok;
    };
    const Row rows[] = {{400, 480, true}, {4, 4, true}, {320, 240, true}, {402, 480, false},
                        {400, 2, false},  {0, 0, false}, {-4, 4, false}};
    for (const Row& r : rows) {
        msvideo1::Encoder e;
        EXPECT_EQ(e.open(r.width, r.height), r.ok) << r.width << "x" << r.height;
    }
}

TEST(Video1Encoder, AnUnchangedPictureIsOnlySkipWordsUntilTheNextKeyFrame) {
    constexpr int kW = 400, kH = 480, kBlocks = (kW / 4) * (kH / 4);
    std::vector<uint16_t> picture(kW * kH);
    for (int i = 0; i < kW * kH; ++i) picture[i] = static_cast<uint16_t>((i * 2654435761u) >> 17) & 0x7FFF;
    msvideo1::Encoder e;
    ASSERT_TRUE(e.open(kW, kH));
    e.setQuality(1.0);
    e.setKeyInterval(3);
    std::vector<uint8_t> out(e.maxFrameBytes());
    const auto key = e.encodeRgb555(picture.data(), kW * 2, out.data());
    EXPECT_TRUE(key.key);
    EXPECT_EQ(e.counts().skipped, 0);
    for (int f = 1; f < 3; ++f) {
        const auto frame = e.encodeRgb555(picture.data(), kW * 2, out.data());
        EXPECT_FALSE(frame.key);
        EXPECT_EQ(e.counts().skipped, kBlocks);
        // 1023 blocks a word: 11 full runs and the rest.
        ASSERT_EQ(frame.bytes, 2u * 12);
        EXPECT_EQ(out[0] | out[1] << 8, 0x8400 + 1023);
        EXPECT_EQ(out[22] | out[23] << 8, 0x8400 + kBlocks - 11 * 1023);
    }
    EXPECT_TRUE(e.encodeRgb555(picture.data(), kW * 2, out.data()).key);
    e.forceKeyFrame();
    EXPECT_TRUE(e.encodeRgb555(picture.data(), kW * 2, out.data()).key);
}

TEST(Video1Encoder, ByteCostFallsWithQuality) {
    EXPECT_EQ(msvideo1::byteCost(1.0), 0);
    EXPECT_EQ(msvideo1::byteCost(1.5), 0);
    EXPECT_EQ(msvideo1::byteCost(-1.0), msvideo1::byteCost(0.0));
    for (int q = 1; q <= 100; ++q)
        EXPECT_LT(msvideo1::byteCost(q / 100.0), msvideo1::byteCost((q - 1) / 100.0)) << q;
}

TEST(Video1Compressor, KeyFramesAtLeastOnceASecond) {
    struct Row {
        const char* option;
        int64_t frameDuration;
        int interval;
    };
    const Row rows[] = {{"60", 166666, 60}, {"60", 333333, 30}, {"300", 500000, 20}, {"10", 333333, 10},
                        {"1", 166666, 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.option);
        media::Video1Compressor c;
        ASSERT_EQ(c.setOption("keyint_min", r.option), S_OK);
        msvideo1::Encoder e;
        std::string error;
        ASSERT_TRUE(c.openEncoder(e, 400, 480, r.frameDuration, &error));
        EXPECT_EQ(e.keyInterval(), r.interval);
    }
    media::Video1Compressor c;
    msvideo1::Encoder e;
    std::string error;
    EXPECT_FALSE(c.openEncoder(e, 402, 480, 333333, &error));
    EXPECT_FALSE(error.empty());
}

TEST(Video1Compressor, StateBlockKeepsTheFormatEarlierVersionsSaved) {
    media::Video1Compressor c;
    const std::string old = "KCS1\nencoder=msvideo1\nkeyint_min=25\n";
    ASSERT_EQ(c.SetState(reinterpret_cast<const uint8_t*>(old.data()), static_cast<int32_t>(old.size())), S_OK);
    int32_t size = 0;
    ASSERT_EQ(c.GetState(nullptr, &size), S_OK);
    std::string block(static_cast<size_t>(size), '\0');
    ASSERT_EQ(c.GetState(reinterpret_cast<uint8_t*>(block.data()), &size), S_OK);
    EXPECT_EQ(block, old);
    const std::string other = "KCS1\nencoder=mjpeg\nhuffman=optimal\n";
    EXPECT_EQ(c.SetState(reinterpret_cast<const uint8_t*>(other.data()), static_cast<int32_t>(other.size())),
              E_INVALIDARG);
}

}  // namespace
