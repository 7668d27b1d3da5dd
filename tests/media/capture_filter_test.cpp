// The capture source filter on a clock the test moves by hand.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "display/decode.h"
#include "record/capture_filter.h"
#include "support/debug_capture.h"
#include "settings/settings.h"

namespace {

constexpr int64_t k30 = 333333;

class ManualClock : public media::ReferenceClock {
public:
    int64_t GetTime() override { return now.load(); }
    std::atomic<int64_t> now{0};
};

// Records what the pin delivers.
class RecordingSink : public media::SampleSink {
public:
    struct Sample {
        int64_t start, end;
        bool sync;
        std::vector<uint8_t> bytes;
    };
    HRESULT CheckType(const media::MediaType&) override { return S_OK; }
    HRESULT ReceiveConnection(const media::MediaType& type) override {
        connected = type;
        return S_OK;
    }
    HRESULT Receive(media::MediaSample& sample) override {
        Sample s{};
        sample.GetTime(&s.start, &s.end);
        s.sync = sample.IsSyncPoint();
        uint8_t* p = nullptr;
        sample.GetPointer(&p);
        s.bytes.assign(p, p + connected.lSampleSize);
        std::lock_guard lock(mutex);
        samples.push_back(std::move(s));
        changed.notify_all();
        return S_OK;
    }
    HRESULT EndOfStream() override {
        std::lock_guard lock(mutex);
        ended = true;
        changed.notify_all();
        return S_OK;
    }
    bool waitFor(size_t count, bool end = false) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5),
                                [&] { return samples.size() >= count && (!end || ended); });
    }
    media::MediaType connected;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Sample> samples;
    bool ended = false;
};

// A frame of the 2D layout whose pixels carry their own position.
struct TestFrame {
    TestFrame() : image(400 * 480) {
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 400; ++x) image[y * 400 + x] = static_cast<uint32_t>((y << 12) | x);
        frame.displayImage = image.data();
        frame.layout = displayTypeTable[1];
        frame.refCount = 1;  // the dispatch's own reference
    }
    std::vector<uint32_t> image;
    FrameBuffer frame;
};

class CaptureFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.recordFps = 30;
        DSFilter::setFrameWaitForTesting(750);
        filter = DSFilter::CreateInstance();
        ASSERT_TRUE(filter);
        pin = filter->capturePin();
        ASSERT_EQ(filter->setRegion(400, 480, 0), S_OK);
        filter->SetSyncSource(&clock);
    }
    void TearDown() override {
        if (filter) {
            filter->stop();
            filter->Stop();
        }
    }
    void connectAndRun() {
        ASSERT_EQ(pin->Connect(&sink), S_OK);
        ASSERT_EQ(filter->Run(0), S_OK);
    }

    ManualClock clock;
    RecordingSink sink;
    std::shared_ptr<DSFilter> filter;
    CCapturePin* pin = nullptr;
};

TEST_F(CaptureFilterTest, StoppedFilterRefusesFrames) {
    TestFrame f;
    EXPECT_EQ(filter->pushFrame(&f.frame), E_FAIL);
    EXPECT_EQ(f.frame.refCount, 1);
}

// Without a connection no streaming thread runs, so queued frames stay put
// and their references show what was queued.
TEST_F(CaptureFilterTest, FramesTakeSlotsOnTheTimeLine) {
    struct Row {
        int64_t time;
        bool queued;
        int64_t slot;
        int64_t skipped;
    };
    const Row rows[] = {
        {0, true, 1, 0},                // first frame takes slot 1
        {k30 / 2, false, 1, 0},         // same slot: not queued
        {k30, true, 2, 0},              // on time: next slot
        {k30 + k30 / 2, false, 2, 0},   // shares the slot just taken
        {7 * k30, true, 6, 3},          // stall of 5 slots: slot last+4, 3 skipped
        {7 * k30 + 10, true, 7, 3},     // n == last: the next slot
        {9 * k30, true, 8, 3},          // stall of 2: slot last+1, none skipped
    };
    ASSERT_EQ(filter->Run(0), S_OK);
    std::vector<TestFrame> frames(std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        clock.now = rows[i].time;
        EXPECT_EQ(filter->pushFrame(&frames[i].frame), S_OK);
        EXPECT_EQ(frames[i].frame.refCount, rows[i].queued ? 2 : 1);
        int64_t stamp = 0, skipped = 0;
        filter->getStat(kStatStreamTime, &stamp);
        filter->getStat(kStatSlotsSkipped, &skipped);
        EXPECT_EQ(stamp, rows[i].slot * k30);
        EXPECT_EQ(skipped, rows[i].skipped);
        if (rows[i].queued) {
            EXPECT_EQ(frames[i].frame.presentationTime, rows[i].slot * k30);
        }
    }
    filter->Stop();
    filter.reset();  // the pin's flush gives every queued frame back
    for (auto& f : frames) EXPECT_EQ(f.frame.refCount, 1);
}

TEST_F(CaptureFilterTest, FirstSampleStartsAtZeroAndTheGapFollows) {
    connectAndRun();
    TestFrame a, b, c;
    clock.now = 0;
    ASSERT_EQ(filter->pushFrame(&a.frame), S_OK);  // slot 1
    clock.now = k30;
    ASSERT_EQ(filter->pushFrame(&b.frame), S_OK);  // slot 2
    clock.now = 5 * k30;
    ASSERT_EQ(filter->pushFrame(&c.frame), S_OK);  // slot 4
    ASSERT_TRUE(sink.waitFor(3));
    std::lock_guard lock(sink.mutex);
    ASSERT_EQ(sink.samples.size(), 3u);
    EXPECT_EQ(sink.samples[0].start, 0);
    EXPECT_EQ(sink.samples[0].end, k30);
    EXPECT_EQ(sink.samples[1].start, 2 * k30);
    EXPECT_EQ(sink.samples[1].end, 3 * k30);
    EXPECT_EQ(sink.samples[2].start, 4 * k30);
    EXPECT_TRUE(sink.samples[2].sync);
    int64_t delivered = 0;
    filter->getStat(kStatFramesDelivered, &delivered);
    EXPECT_EQ(delivered, 3);
}

TEST_F(CaptureFilterTest, StopEndsTheFrameWaitAtOnceAndReturnsEveryFrame) {
    DebugCapture debug;
    connectAndRun();
    // Let the streaming thread reach its wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto before = std::chrono::steady_clock::now();
    filter->stop();
    ASSERT_TRUE(sink.waitFor(0, true));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_TRUE(sink.samples.empty());
    EXPECT_NE(debug.text().find("getNextFrame timed out or stop requested, stopping AVI\n"), std::string::npos);

    // The stream has ended: nothing more is taken while the graph is still up.
    TestFrame late;
    clock.now = 3 * k30;
    EXPECT_EQ(filter->pushFrame(&late.frame), E_FAIL);
    EXPECT_EQ(late.frame.refCount, 1);
    filter->Stop();
    EXPECT_NE(debug.text().find("CCapturePin::OnThreadDestroy\n"), std::string::npos);
}

TEST_F(CaptureFilterTest, FramesQueuedBehindTheEndMarkerAreReleased) {
    connectAndRun();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Frames pushed right after stop() either queue up behind the marker or,
    // once the stream has ended, are refused; both ways they all come back.
    filter->stop();
    std::vector<TestFrame> frames(3);
    for (size_t i = 0; i < frames.size(); ++i) {
        clock.now = static_cast<int64_t>(i + 1) * k30;
        filter->pushFrame(&frames[i].frame);
    }
    ASSERT_TRUE(sink.waitFor(0, true));
    filter->Stop();
    for (auto& f : frames) EXPECT_EQ(f.frame.refCount, 1);
}

TEST_F(CaptureFilterTest, StarvedWaitPrintsAndStopFlagEndsIt) {
    DSFilter::setFrameWaitForTesting(20);
    DebugCapture debug;
    connectAndRun();
    // Polled: on a busy machine the streaming thread may start late.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (debug.text().find("CCapturePin::getNextFrame starved\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(debug.text().find("CCapturePin::getNextFrame starved\n"), std::string::npos);
    filter->stop();
    EXPECT_TRUE(sink.waitFor(0, true));
}

TEST(CaptureFilterCreation, FrameRateFromSettings) {
    struct Row {
        int32_t fps;
        int64_t duration;
        const char* line;  // null: refused
    };
    const Row rows[] = {
        {30, 333333, "SetFormat: 30.000030 fps\n"},
        {15, 666666, "SetFormat: 15.000015 fps\n"},
        {60, 166666, "SetFormat: 60.000240 fps\n"},
        {14, 166666, nullptr},
        {61, 166666, nullptr},
        {0, 166666, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fps);
        settings.recordFps = row.fps;
        DebugCapture debug;
        auto filter = DSFilter::CreateInstance();
        ASSERT_TRUE(filter);
        EXPECT_EQ(filter->capturePin()->frameDuration(), row.duration);
        std::string text = debug.text();
        if (row.line)
            EXPECT_NE(text.find(row.line), std::string::npos) << text;
        else
            EXPECT_EQ(text.find("SetFormat:"), std::string::npos) << text;
    }
    settings.recordFps = 30;
}

TEST(CaptureFilterCreation, PrintsItsLifeAndCapabilities) {
    settings.recordFps = 30;
    DebugCapture debug;
    DSFilter::CreateInstance().reset();
    EXPECT_EQ(debug.text(),
              "DSFilter::CreateInstance\n"
              "CCapturePin::CCapturePin\n"
              "SetFormat: 30.000030 fps\n"
              "[0] FPS=(15.00-60.00, current=30.00) src=0,0 0,0 tgt=0,0 0,0 rez=0x0 bpp=24\n"
              "CCapturePin::~CCapturePin\n");
}

TEST_F(CaptureFilterTest, PositionZeroTypeAndRefusedTypes) {
    media::MediaType type;
    ASSERT_EQ(pin->GetMediaType(0, &type), S_OK);
    EXPECT_EQ(type.format.bmiHeader.biSizeImage, 576000u);
    EXPECT_EQ(type.format.dwBitRate, 138240138u);
    EXPECT_EQ(type.lSampleSize, 576000u);
    EXPECT_EQ(pin->CheckMediaType(&type), S_OK);

    media::MediaType scratch;
    VideoStreamConfigCaps caps;
    EXPECT_EQ(pin->GetMediaType(1, &scratch), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(pin->GetMediaType(-1, &scratch), E_INVALIDARG);
    EXPECT_EQ(pin->GetStreamCaps(1, &scratch, &caps), S_FALSE);
    EXPECT_EQ(pin->GetStreamCaps(0, nullptr, &caps), E_POINTER);

    struct Row {
        const char* what;
        void (*change)(media::MediaType&);
    };
    const Row refused[] = {
        {"RGB32", [](media::MediaType& t) { t.subtype = media::SubType::RGB32; }},
        {"width", [](media::MediaType& t) { t.format.bmiHeader.biWidth = 320; }},
        {"height", [](media::MediaType& t) { t.format.bmiHeader.biHeight = -480; }},
        {"rcTarget", [](media::MediaType& t) { t.format.rcTarget.right = 400; }},
        {"no format", [](media::MediaType& t) { t.hasFormat = false; }},
        {"too slow", [](media::MediaType& t) { t.format.AvgTimePerFrame = 666667; }},
        {"upper bits", [](media::MediaType& t) { t.format.AvgTimePerFrame = (int64_t{1} << 32) + 333333; }},
        {"audio", [](media::MediaType& t) { t.majortype = media::MajorType::Audio; }},
    };
    for (const Row& row : refused) {
        media::MediaType t = type;
        row.change(t);
        EXPECT_EQ(pin->CheckMediaType(&t), E_INVALIDARG) << row.what;
    }
}

TEST_F(CaptureFilterTest, SetFormatOnlyWhileStopped) {
    media::MediaType type;
    ASSERT_EQ(pin->GetFormat(&type), S_OK);
    type.format.AvgTimePerFrame = 500000;
    ASSERT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(pin->SetFormat(&type), VFW_E_NOT_STOPPED);
    filter->Stop();
    EXPECT_EQ(pin->SetFormat(&type), S_OK);
    EXPECT_EQ(pin->frameDuration(), 500000);
}

TEST_F(CaptureFilterTest, PinCategoryProperty) {
    uint8_t data[16] = {};
    uint32_t returned = 0;
    EXPECT_EQ(pin->Get(PropSet::Pin, 0, nullptr, 0, data, 15, &returned), E_UNEXPECTED);
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(pin->Get(PropSet::Pin, 0, nullptr, 0, data, 16, &returned), S_OK);
    EXPECT_EQ(std::memcmp(data, PIN_CATEGORY_CAPTURE, 16), 0);
    EXPECT_EQ(pin->Get(PropSet::Other, 0, nullptr, 0, data, 16, &returned), E_PROP_SET_UNSUPPORTED);
    EXPECT_EQ(pin->Get(PropSet::Pin, 1, nullptr, 0, data, 16, &returned), E_PROP_ID_UNSUPPORTED);
    EXPECT_EQ(pin->Get(PropSet::Pin, 0, nullptr, 0, nullptr, 0, nullptr), E_POINTER);
    uint32_t support = 0;
    EXPECT_EQ(pin->QuerySupported(PropSet::Pin, 0, &support), S_OK);
    EXPECT_EQ(support, 1u);
}

TEST_F(CaptureFilterTest, BuffersAreNegotiatedFromTheRegion) {
    ASSERT_EQ(pin->Connect(&sink), S_OK);
    EXPECT_EQ(sink.connected.format.bmiHeader.biWidth, 400);
    EXPECT_EQ(sink.connected.format.bmiHeader.biHeight, 480);
    media::AllocatorProperties request;
    EXPECT_EQ(pin->DecideBufferSize(nullptr, &request), E_POINTER);
    // A running filter keeps its region.
    ASSERT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(filter->setRegion(320, 240, 96040), E_FAIL);
}

TEST_F(CaptureFilterTest, BottomRegionRecordsExactlyTheBottomScreen) {
    const DisplayLayout& row = displayTypeTable[1];
    ASSERT_EQ(row.bottomOffset, 96040);
    ASSERT_EQ(filter->setRegion(row.bottomWidth, row.bottomHeight, row.bottomOffset), S_OK);
    connectAndRun();
    TestFrame f;
    ASSERT_EQ(filter->pushFrame(&f.frame), S_OK);
    ASSERT_TRUE(sink.waitFor(1));
    const std::vector<uint8_t>& bytes = sink.samples[0].bytes;
    ASSERT_EQ(bytes.size(), 320u * 240 * 3);
    // Bottom-up rows of blue, green, red from image rows 240..479, columns 40..359.
    bool same = true;
    for (int r = 0; r < 240 && same; ++r)
        for (int x = 0; x < 320 && same; ++x) {
            uint32_t p = f.image[(240 + (239 - r)) * 400 + 40 + x];
            const uint8_t* out = &bytes[(r * 320 + x) * 3];
            same = out[0] == (p & 0xFF) && out[1] == ((p >> 8) & 0xFF) && out[2] == ((p >> 16) & 0xFF);
            if (!same) ADD_FAILURE() << "row " << r << " column " << x;
        }
    filter->stop();
    filter->Stop();
    EXPECT_EQ(f.frame.refCount, 1);
}

TEST_F(CaptureFilterTest, RegionOutsideTheFrameGivesABlackSample) {
    ASSERT_EQ(filter->Stop(), S_OK);
    ASSERT_EQ(filter->setRegion(400, 480, 96040), S_OK);  // runs past the image's end
    connectAndRun();
    TestFrame f;
    ASSERT_EQ(filter->pushFrame(&f.frame), S_OK);
    ASSERT_TRUE(sink.waitFor(1));
    for (uint8_t b : sink.samples[0].bytes) ASSERT_EQ(b, 0);
}

}  // namespace
