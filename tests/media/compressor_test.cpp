// Compressor lists, quality and the saved state block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "record/recording.h"
#include "support/debug_capture.h"
#include "settings/settings.h"

namespace {

std::vector<std::string> names(media::Category category) {
    std::vector<std::string> list;
    findDevice(nullptr, category, [&](const media::Moniker&, const std::string& name, const char*) {
        list.push_back(name);
        return std::shared_ptr<media::Filter>{};
    });
    return list;
}

bool contains(const std::vector<std::string>& list, const char* name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

std::string stateOf(media::VideoCompressor& c) {
    int32_t size = 0;
    EXPECT_EQ(c.GetState(nullptr, &size), S_OK);
    std::string block(static_cast<size_t>(size), '\0');
    EXPECT_EQ(c.GetState(reinterpret_cast<uint8_t*>(block.data()), &size), S_OK);
    return block;
}

TEST(Compressors, ListedByFriendlyNameInAStableOrder) {
    auto video = names(media::Category::VideoCompressor);
    EXPECT_TRUE(contains(video, "Microsoft Video 1"));
    EXPECT_TRUE(contains(video, "Motion JPEG"));
    EXPECT_TRUE(contains(video, "FFV1 lossless") || contains(video, "Ut Video lossless"));
    EXPECT_EQ(video, names(media::Category::VideoCompressor));
    EXPECT_EQ(names(media::Category::AudioCompressor), std::vector<std::string>{"PCM"});
    EXPECT_FALSE(findDevice("Motion JPEG ", media::Category::VideoCompressor, visitByName));  // exact names only
}

TEST(Compressors, QualityOnlyWhereTheEncoderHasOne) {
    utf8ToField(settings.videoCodec, "none of these");  // no saved quality
    struct Row {
        const char* name;
        bool canQuality;
        double defaultQuality;  // what a fresh compressor reports
    };
    for (const Row& row : {Row{"Microsoft Video 1", true, 0.85}, Row{"Motion JPEG", true, 0.75},
                           Row{"FFV1 lossless", false, 0}}) {
        SCOPED_TRACE(row.name);
        auto c = getFilter(row.name);
        ASSERT_TRUE(c);
        int32_t caps = -1;
        double def = -1;
        ASSERT_EQ(c->GetInfo(&def, &caps), S_OK);
        EXPECT_EQ((caps & media::CompressionCaps_CanQuality) != 0, row.canQuality);
        if (row.canQuality) {
            double q = 0;
            EXPECT_DOUBLE_EQ(def, row.defaultQuality);
            EXPECT_EQ(c->get_Quality(&q), S_OK);
            EXPECT_DOUBLE_EQ(q, row.defaultQuality);
            EXPECT_EQ(c->put_Quality(0.4), S_OK);
            EXPECT_EQ(c->get_Quality(&q), S_OK);
            EXPECT_DOUBLE_EQ(q, 0.4);
            EXPECT_EQ(c->put_Quality(1.5), E_INVALIDARG);
            EXPECT_EQ(c->put_Quality(-0.1), E_INVALIDARG);
        }
    }
}

TEST(Compressors, StateBlockRoundTripsAndBadBlocksAreRefused) {
    auto c = getFilter("FFV1 lossless");
    ASSERT_TRUE(c);
    ASSERT_EQ(c->setOption("coder", "range_def"), S_OK);
    EXPECT_EQ(c->setOption("coder", "nonsense"), E_INVALIDARG);
    std::string saved = stateOf(*c);
    EXPECT_EQ(saved.compare(0, 4, "KCS1"), 0);

    auto fresh = getFilter("FFV1 lossless");
    std::string defaults = stateOf(*fresh);
    ASSERT_NE(defaults, saved);

    const std::string bad[] = {
        "",
        "KCS2\nencoder=ffv1\n",
        "KCS1\nencoder=mjpeg\n",                   // another compressor's block
        "KCS1\nencoder=ffv1\nunknown=1\n",
        "KCS1\nencoder=ffv1\ncoder=nonsense\n",
        "KCS1\nencoder=ffv1\ncoder=rice\ncoder=rice\n",
        "KCS1\nencoder=ffv1\ncoder=rice",          // cut short
        "KCS1\nencoder=ffv1\ncoder\n",
        std::string("KCS1\nencoder=ffv1\ncoder=ri\0ce\n", 30),
        "KCS1\n",
        "KCS1\nencoder=ffv1\n" + std::string(5000, 'x') + "\n",
    };
    for (const std::string& block : bad) {
        SCOPED_TRACE(block.substr(0, 40));
        EXPECT_EQ(fresh->SetState(reinterpret_cast<const uint8_t*>(block.data()), static_cast<int32_t>(block.size())),
                  E_INVALIDARG);
        EXPECT_EQ(stateOf(*fresh), defaults);
    }
    EXPECT_EQ(fresh->SetState(nullptr, 4), E_POINTER);
    EXPECT_EQ(fresh->SetState(reinterpret_cast<const uint8_t*>(saved.data()), static_cast<int32_t>(saved.size())),
              S_OK);
    EXPECT_EQ(stateOf(*fresh), saved);

    // A buffer too small for the block is refused rather than overrun.
    int32_t small = 4;
    uint8_t four[4];
    EXPECT_EQ(fresh->GetState(four, &small), E_INVALIDARG);

    int32_t keyint = 0;
    for (const auto& o : getFilter("Microsoft Video 1")->options())
        if (o.key == "keyint_min") keyint = o.maxValue;
    auto mv1 = getFilter("Microsoft Video 1");
    EXPECT_EQ(mv1->setOption("keyint_min", std::to_string(keyint + 1)), E_INVALIDARG);
    EXPECT_EQ(mv1->setOption("keyint_min", "1"), S_OK);
    EXPECT_EQ(mv1->setOption("keyint_min", "1x"), E_INVALIDARG);
}

TEST(Compressors, SavedQualityAndStateGoOnlyToTheSavedCompressor) {
    utf8ToField(settings.videoCodec, "Microsoft Video 1");
    const std::string mjpegDefaults = stateOf(*getFilter("Motion JPEG"));
    utf8ToField(settings.videoCodec, "Motion JPEG");
    settings.videoQuality = 0.3;
    auto source = getFilter("Motion JPEG");
    ASSERT_EQ(source->setOption("huffman", "default"), S_OK);
    std::string block = stateOf(*source);
    videoCodecSettings.assign(block.begin(), block.end());
    settings.videoCodecSettingsSize = static_cast<int32_t>(block.size());

    DebugCapture debug;
    auto saved = getFilter("Motion JPEG");
    double q = 0;
    ASSERT_EQ(saved->get_Quality(&q), S_OK);
    EXPECT_DOUBLE_EQ(q, 0.3);
    EXPECT_EQ(stateOf(*saved), block);
    char line[64];
    std::snprintf(line, sizeof line, "getFilter:SetState(3153434B.., %d)=0\n", settings.videoCodecSettingsSize);
    EXPECT_EQ(debug.text(), line);

    // Another compressor gets neither.
    debug.clear();
    auto other = getFilter("Microsoft Video 1");
    ASSERT_TRUE(other);
    EXPECT_EQ(debug.text(), "");

    // A stored block that is not valid leaves the compressor as it was.
    const char junk[] = "\x01\x02\x03\x04garbage";
    videoCodecSettings.assign(junk, junk + sizeof junk);
    settings.videoCodecSettingsSize = sizeof junk;
    debug.clear();
    auto refused = getFilter("Motion JPEG");
    ASSERT_TRUE(refused);
    EXPECT_NE(debug.text().find("=80070057\n"), std::string::npos) << debug.text();
    EXPECT_EQ(stateOf(*refused), mjpegDefaults);

    videoCodecSettings.clear();
    settings.videoCodecSettingsSize = 0;
    utf8ToField(settings.videoCodec, "Microsoft Video 1");
    settings.videoQuality = 0.85;
}

}  // namespace
