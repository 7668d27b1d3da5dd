#include "firmware/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "../tools/synthetic_image.h"
#include "base/checksums.h"

namespace {

using firmware::InflateStatus;
using firmware::zlibInflate;
using Bytes = std::vector<uint8_t>;

InflateStatus inflateStatus(const Bytes& stream, size_t capacity, Bytes* out = nullptr) {
    Bytes buffer(capacity + 1);  // one spare byte, which must stay untouched
    buffer.back() = 0xA5;
    const firmware::InflateResult result = zlibInflate(stream.data(), stream.size(), buffer.data(), capacity);
    EXPECT_EQ(buffer.back(), 0xA5);
    EXPECT_LE(result.produced, capacity);
    if (out) out->assign(buffer.begin(), buffer.begin() + static_cast<long>(result.produced));
    return result.status;
}

// Data with long and short repeats, text and noise, so that every kind of
// block and code gets used.
Bytes mixedData() {
    Bytes data = synthetic::image(4, 200000);
    const std::string text = "Kestrel Capture firmware needs to be updated. Push Start to begin. ";
    for (int i = 0; i < 800; ++i) data.insert(data.end(), text.begin(), text.end() - (i % 7));
    data.insert(data.end(), 70000, 0x00);
    for (int i = 0; i < 3000; ++i) data.push_back(static_cast<uint8_t>(i * i * 31 + (i >> 3)));
    return data;
}

TEST(Inflate, DecodesWhatZlibMakesAtEveryLevelAndStrategy) {
    const Bytes data = mixedData();
    const struct {
        const char* name;
        int strategy;
    } strategies[] = {{"default", Z_DEFAULT_STRATEGY},
                      {"filtered", Z_FILTERED},
                      {"huffman only", Z_HUFFMAN_ONLY},
                      {"rle", Z_RLE},
                      {"fixed", Z_FIXED}};
    for (const auto& s : strategies) {
        for (int level = 0; level <= 9; ++level) {
            SCOPED_TRACE(std::string(s.name) + " level " + std::to_string(level));
            Bytes out;
            ASSERT_EQ(inflateStatus(synthetic::compress(data, level, s.strategy), data.size(), &out),
                      InflateStatus::Ok);
            EXPECT_TRUE(out == data);
        }
    }
}

TEST(Inflate, SmallStreams) {
    for (const Bytes& data : {Bytes{}, Bytes{0x42}, Bytes(300, 0x61), Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3}}) {
        for (int level : {0, 1, 9}) {
            Bytes out;
            EXPECT_EQ(inflateStatus(synthetic::compress(data, level), data.size(), &out), InflateStatus::Ok);
            EXPECT_EQ(out, data);
        }
    }
}

TEST(Inflate, StopsAtTheCapacity) {
    const Bytes data = mixedData();
    for (int level : {0, 6}) {
        const Bytes stream = synthetic::compress(data, level);
        EXPECT_EQ(inflateStatus(stream, data.size()), InflateStatus::Ok);
        EXPECT_EQ(inflateStatus(stream, data.size() - 1), InflateStatus::TooLarge);
        EXPECT_EQ(inflateStatus(stream, 1000), InflateStatus::TooLarge);
        EXPECT_EQ(inflateStatus(stream, 0), InflateStatus::TooLarge);
    }
}

// Hand-made streams: header 78 01, then deflate bits, then the check value.
Bytes withCheck(Bytes stream, const Bytes& output) {
    const uint32_t a = adler32Update(1, output.data(), output.size());
    for (int shift : {24, 16, 8, 0}) stream.push_back(static_cast<uint8_t>(a >> shift));
    return stream;
}

TEST(Inflate, RefusesBadStreams) {
    const Bytes data = mixedData();
    const Bytes good = synthetic::compress(data, 6);
    auto changed = [&](size_t index, uint8_t value) {
        Bytes s = good;
        s[index] = value;
        return s;
    };
    Bytes badCheck = good;
    badCheck.back() ^= 1;
    Bytes trailing = good;
    trailing.push_back(0);

    const struct {
        const char* name;
        Bytes stream;
    } cases[] = {
        {"empty", {}},
        {"one byte", {0x78}},
        {"header check", changed(1, 0x02)},
        {"method 7", {0x77, 0x09}},  // 0x7709 is a multiple of 31, method 7
        {"window 8", {0x88, 0x1C}},  // 0x881C is a multiple of 31, window field 8
        {"preset dictionary", {0x78, 0xBB, 0, 0, 0, 1}},
        {"block type 3", withCheck({0x78, 0x01, 0x07}, {})},
        {"stored length check", {0x78, 0x01, 0x01, 0x05, 0x00, 0xFB, 0xFF, 1, 2, 3, 4, 5}},
        {"stored data missing", {0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF, 1, 2}},
        // Fixed block whose first code is distance-only: a match before any output.
        {"distance too far back", withCheck({0x78, 0x01, 0x03, 0x02, 0x00}, {})},
        // Fixed block, literal then length code 286 (not a valid code).
        {"length code 286", withCheck({0x78, 0x01, 0x73, 0x1C, 0x03, 0x00}, {0x41})},
        // Dynamic block with 30 + 257 literal/length codes (more than 286).
        {"too many length codes", withCheck({0x78, 0x01, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF}, {})},
        {"adler mismatch", badCheck},
        {"check missing", Bytes(good.begin(), good.end() - 4)},
        {"trailing data", trailing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(inflateStatus(c.stream, data.size() + 10), InflateStatus::Invalid);
        // zlib agrees that these are not streams.
        Bytes out(data.size() + 10);
        uLongf outSize = out.size();
        uLong inSize = c.stream.size();
        const int rc = uncompress2(out.data(), &outSize, c.stream.data(), &inSize);
        if (std::string(c.name) != "trailing data") { EXPECT_NE(rc, Z_OK); }
    }
}

TEST(Inflate, TruncatedStreamsFail) {
    const Bytes data = mixedData();
    for (int level : {0, 1, 9}) {
        const Bytes stream = synthetic::compress(data, level);
        for (size_t cut = 2; cut < stream.size(); cut += 1 + stream.size() / 97) {
            Bytes shorter(stream.begin(), stream.begin() + static_cast<long>(cut));
            EXPECT_EQ(inflateStatus(shorter, data.size()), InflateStatus::Invalid) << level << " cut " << cut;
        }
    }
}

TEST(Inflate, CorruptedBytesNeverCrashOrOverrun) {
    // Every outcome is allowed but Ok with wrong data (the check value catches that).
    const Bytes data = synthetic::image(5, 30000);
    const Bytes stream = synthetic::compress(data, 9);
    uint32_t x = 12345;
    for (int trial = 0; trial < 300; ++trial) {
        Bytes broken = stream;
        for (int flips = 0; flips < 3; ++flips) {
            x = x * 1103515245 + 12345;
            broken[2 + (x >> 8) % (broken.size() - 6)] ^= static_cast<uint8_t>(1 << (x % 8));
        }
        Bytes out;
        if (inflateStatus(broken, data.size() + 100, &out) == InflateStatus::Ok) { EXPECT_EQ(out, data); }
    }
}

TEST(Adler32, KnownValues) {
    const std::string text = "Wikipedia";
    EXPECT_EQ(adler32Update(1, reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0x11E60398u);
    const Bytes ones(100000, 0xFF);
    EXPECT_EQ(adler32Update(1, ones.data(), ones.size()),
              static_cast<uint32_t>(::adler32(1, ones.data(), static_cast<uInt>(ones.size()))));
}

}  // namespace
