// The deflate encoder on raw bytes: exact LZ77 parse, degenerate alphabets,
// code length limits, and the checksums.
#include <gtest/gtest.h>
#include <zlib.h>

#include <numeric>
#include <random>
#include <string>

#include "png_parser.h"
#include "base/checksums.h"
#include "record/deflate.h"

using namespace pngtest;

namespace {

std::vector<uint8_t> compress(const std::vector<uint8_t>& data) {
    ZlibEncoder encoder;
    EXPECT_TRUE(encoder.encode(data.data(), data.size()));
    std::vector<uint8_t> out(encoder.size());
    encoder.write(out.data());
    return out;
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed, int alphabet = 256) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng() % unsigned(alphabet));
    return v;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Runs, copies from near and far (some beyond the window) and low-entropy
// noise, mixed at random: the shapes that stress a match index.
std::vector<uint8_t> mixedStructure(uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v = randomBytes(16, seed);
    while (v.size() < 8000) {
        size_t len = 1 + rng() % 300;
        switch (rng() % 3) {
        case 0:
            v.insert(v.end(), len, uint8_t(rng() % 4));
            break;
        case 1: {
            size_t from = v.size() - 1 - rng() % std::min<size_t>(v.size(), 2600);
            for (size_t i = 0; i < len; ++i) v.push_back(v[from + i]);
            break;
        }
        default:
            for (size_t i = 0; i < len % 50; ++i) v.push_back(uint8_t(rng() % 4));
        }
    }
    return v;
}

struct ParseCase {
    const char* name;
    std::vector<uint8_t> data;
};

std::vector<ParseCase> parseCases() {
    const auto block = randomBytes(40, 1);
    return {
        // A repeat exactly 2048 back is in reach; 2049 back is not.
        {"distance2048", concat({block, randomBytes(2048 - 40, 2), block})},
        {"distance2049", concat({block, randomBytes(2049 - 40, 3), block})},
        // Runs longer than one match, overlapping copies.
        {"longRun", concat({text("x"), std::vector<uint8_t>(1000, 'a'), text("yz")})},
        {"repeatsBeyond258", concat({randomBytes(600, 4), randomBytes(600, 4), randomBytes(600, 4)})},
        // Several equally long candidates: the nearest must be taken.
        {"nearestOfEqual", text("abcXabcYabcZabcWqabcQabcRabc")},
        // Matches starting inside earlier matches.
        {"insideMatches", text("abcdefabcdefgabcdefghbcdefghcdefghi")},
        // Small alphabet: long chains of short candidates.
        {"lowEntropy", randomBytes(5000, 5, 3)},
        {"binaryNoise", randomBytes(4000, 6, 2)},
        {"mixed1", mixedStructure(21)},
        {"mixed2", mixedStructure(22)},
        {"mixed3", mixedStructure(23)},
    };
}

TEST(Deflate, ParseIsGreedyLongestNearest) {
    for (const ParseCase& c : parseCases()) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> stream = compress(c.data);
        std::vector<uint8_t> inflated;
        ASSERT_TRUE(inflateWithZlib(stream, inflated));
        EXPECT_TRUE(inflated == c.data);
        StreamWalk walk = walkZlib(stream);
        ASSERT_EQ(walk.error, "");
        const std::vector<Token> expected = referenceParse(c.data);
        ASSERT_EQ(walk.tokens.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(walk.tokens[i], expected[i]) << "token " << i << " (length " << walk.tokens[i].length
                                                   << ", distance " << walk.tokens[i].distance << ")";
    }
}

TEST(Deflate, DegenerateAlphabetsDecodeEverywhere) {
    const std::vector<std::vector<uint8_t>> inputs = {
        {},                                   // end-of-block alone
        {42},                                 // one literal, no distance
        randomBytes(200, 9),                  // literals only, no distance used
        std::vector<uint8_t>(5000, 7),        // one distance (1) only
    };
    for (const auto& data : inputs) {
        SCOPED_TRACE(data.size());
        const std::vector<uint8_t> stream = compress(data);
        std::vector<uint8_t> inflated;
        ASSERT_TRUE(inflateWithZlib(stream, inflated));
        EXPECT_TRUE(inflated == data);
        StreamWalk walk = walkZlib(stream);
        ASSERT_EQ(walk.error, "");
        EXPECT_GE(walk.distCodesWithLength, 1);
        EXPECT_TRUE(walk.adlerOk);
    }
}

// Copies of earlier stretches whose length codes have Fibonacci-like counts
// (each just above the sum of all smaller ones but one, so no tie flattens
// the tree), and almost no literals: an unlimited Huffman code for the
// literal/length alphabet would run deeper than 15 bits.
std::vector<uint8_t> skewedLengths() {
    static const int kLengths[] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23,
                                   27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227};
    std::vector<uint32_t> counts = {1, 2};
    uint32_t sumBeforeLast = 1;
    while (counts.size() < std::size(kLengths)) {
        counts.push_back(sumBeforeLast + 1);
        sumBeforeLast += counts[counts.size() - 2];
    }
    std::vector<int> plan;
    for (size_t i = 0; i < counts.size(); ++i)
        plan.insert(plan.end(), counts[i], kLengths[std::size(kLengths) - 1 - i]);
    std::mt19937 rng(11);
    std::shuffle(plan.begin(), plan.end(), rng);
    std::vector<uint8_t> data = randomBytes(2048, 10);
    int nextOfLastSource = -1;  // the byte that would extend the previous copy
    for (int len : plan) {
        size_t src;
        do {
            src = data.size() - size_t(len) - rng() % size_t(2048 - len);
        } while (data[src] == nextOfLastSource);
        nextOfLastSource = data[src + size_t(len)];
        for (int i = 0; i < len; ++i) data.push_back(data[src + size_t(i)]);
    }
    return data;
}

TEST(Deflate, CodeLengthsStayWithinLimitsWhenHuffmanWouldExceedThem) {
    const std::vector<uint8_t> data = skewedLengths();
    const std::vector<uint8_t> stream = compress(data);
    std::vector<uint8_t> inflated;
    ASSERT_TRUE(inflateWithZlib(stream, inflated));
    EXPECT_TRUE(inflated == data);
    StreamWalk walk = walkZlib(stream);
    ASSERT_EQ(walk.error, "");
    ASSERT_GT(unlimitedHuffmanDepth(walk.litLenCount), 15) << "input not skewed enough to test the limit";
    EXPECT_LE(walk.maxLitLenBits, 15);
    EXPECT_LE(walk.maxDistBits, 15);
    EXPECT_LE(walk.maxCodeLenBits, 7);
}

TEST(Deflate, LimitedCodesAreCompleteAndWithinTheLimit) {
    std::vector<uint32_t> fib(30);
    fib[0] = fib[1] = 1;
    for (size_t i = 2; i < fib.size(); ++i) fib[i] = fib[i - 1] + fib[i - 2];
    struct Case {
        std::vector<uint32_t> freqs;
        int limit;
    };
    const Case cases[] = {
        {fib, 15},
        {std::vector<uint32_t>(fib.begin(), fib.begin() + 19), 7},
        {{5, 0, 9}, 15},
        {std::vector<uint32_t>(286, 3), 15},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> lengths(c.freqs.size());
        buildCodeLengths(c.freqs.data(), int(c.freqs.size()), c.limit, lengths.data());
        double kraft = 0;
        for (size_t i = 0; i < lengths.size(); ++i) {
            EXPECT_EQ(lengths[i] == 0, c.freqs[i] == 0) << i;
            EXPECT_LE(lengths[i], c.limit);
            if (lengths[i]) kraft += std::ldexp(1.0, -lengths[i]);
        }
        EXPECT_DOUBLE_EQ(kraft, 1.0);
    }
}

TEST(Checksums, MatchZlibAcrossBlockBoundaries) {
    const std::vector<uint8_t> data = randomBytes(100000, 12);
    for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(9), size_t(5552), size_t(5553), data.size()}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(crc32Update(0, data.data(), n), ::crc32(0, data.data(), uInt(n)));
        EXPECT_EQ(adler32Update(1, data.data(), n), ::adler32(1, data.data(), uInt(n)));
    }
    // Continuing from a split gives the same result.
    EXPECT_EQ(crc32Update(crc32Update(0, data.data(), 333), data.data() + 333, 7000),
              ::crc32(0, data.data(), 7333));
    EXPECT_EQ(adler32Update(adler32Update(1, data.data(), 333), data.data() + 333, 7000),
              ::adler32(1, data.data(), 7333));
}

}  // namespace
