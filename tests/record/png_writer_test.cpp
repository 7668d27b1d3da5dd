// The PNG writer's files, read back by zlib, libpng and a walk of our own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "png_parser.h"
#include "record/png_writer.h"
#include "record/snapshot.h"
#include "test_images.h"

using namespace pngtest;

namespace {

std::string makeTempDir() {
    char path[] = "/tmp/kc_png_XXXXXX";
    return mkdtemp(path) ? path : "";
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

struct ImageCase {
    const char* name;
    unsigned width, height;
    std::function<std::vector<uint8_t>(unsigned, unsigned)> make;
};

class PngFileTest : public ::testing::TestWithParam<ImageCase> {};

TEST_P(PngFileTest, DecodesIdenticallyAndHasTheFixedForm) {
    const ImageCase& c = GetParam();
    const std::vector<uint8_t> rgb = c.make(c.width, c.height);
    const std::string dir = makeTempDir();
    const std::string path = dir + "/picture.png";
    ASSERT_EQ(savePng(path.c_str(), rgb.data(), c.width, c.height), 0u);
    const std::vector<uint8_t> file = readFile(path);

    std::vector<Chunk> chunks;
    ASSERT_TRUE(parseChunks(file, chunks));
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(chunks[1].type, "IDAT");
    EXPECT_EQ(chunks[2].type, "IEND");
    for (const Chunk& chunk : chunks) EXPECT_TRUE(chunk.crcOk) << chunk.type;
    const std::vector<uint8_t> ihdr = {uint8_t(c.width >> 24), uint8_t(c.width >> 16), uint8_t(c.width >> 8),
                                       uint8_t(c.width),       uint8_t(c.height >> 24), uint8_t(c.height >> 16),
                                       uint8_t(c.height >> 8), uint8_t(c.height),       8, 2, 0, 0, 0};
    EXPECT_EQ(chunks[0].data, ihdr);
    EXPECT_TRUE(chunks[2].data.empty());

    // zlib's inflate, then our own unfiltering.
    std::vector<uint8_t> filtered, pixels;
    ASSERT_TRUE(inflateWithZlib(chunks[1].data, filtered));
    ASSERT_TRUE(unfilter(filtered, c.width, c.height, pixels));
    EXPECT_TRUE(pixels == rgb) << "zlib decode differs";

    // libpng reading the whole file.
    unsigned w = 0, h = 0;
    std::vector<uint8_t> fromLibpng;
    ASSERT_TRUE(readWithLibpng(path, w, h, fromLibpng));
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    EXPECT_TRUE(fromLibpng == rgb) << "libpng decode differs";

    // The stream's form, walked symbol by symbol.
    StreamWalk walk = walkZlib(chunks[1].data);
    ASSERT_EQ(walk.error, "");
    EXPECT_EQ(walk.header0, 0x78);
    EXPECT_EQ(walk.header1, 0x01);
    EXPECT_EQ(walk.blocks, 1);
    EXPECT_TRUE(walk.lastFinal);
    EXPECT_LE(walk.maxLitLenBits, 15);
    EXPECT_LE(walk.maxDistBits, 15);
    EXPECT_LE(walk.maxCodeLenBits, 7);
    EXPECT_LE(walk.maxDistance, 2048);
    EXPECT_TRUE(walk.adlerOk);
    EXPECT_TRUE(walk.out == filtered);

    const size_t stride = size_t(c.width) * 3;
    const std::vector<uint8_t> zero(stride, 0);
    for (unsigned y = 0; y < c.height; ++y) {
        const uint8_t* row = &rgb[y * stride];
        const uint8_t* up = y ? row - stride : zero.data();
        ASSERT_EQ(int(filtered[y * (stride + 1)]), expectedFilter(row, up, c.width)) << "row " << y;
    }
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

const ImageCase kImages[] = {
    {"flat", 64, 48, [](unsigned w, unsigned h) { return flatImage(w, h, 10, 200, 30); }},
    {"gradient", 300, 200, gradientImage},
    {"noise", 160, 120, [](unsigned w, unsigned h) { return noiseImage(w, h, 7); }},
    {"onePixel", 1, 1, [](unsigned w, unsigned h) { return flatImage(w, h, 1, 2, 3); }},
    {"veryWide", 4000, 2, [](unsigned w, unsigned h) { return noiseImage(w, h, 3); }},
    {"wideGradient", 4000, 2, gradientImage},
    {"frame2D", 400, 480, frameLikeImage},
    {"frameSideBySide", 800, 480, frameLikeImage},
    {"frameStretched", 800, 960, frameLikeImage},
    {"frameDsUpscaled", 320, 480, frameLikeImage},
    {"frameDs", 256, 384, frameLikeImage},
};

INSTANTIATE_TEST_SUITE_P(Images, PngFileTest, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PngWriter, BlackPictureUsesFilterNoneOnEveryRow) {
    const std::vector<uint8_t> rgb = flatImage(400, 480, 0, 0, 0);
    PngFile file;
    ASSERT_EQ(encodePng(rgb.data(), 400, 480, file), 0u);
    std::vector<Chunk> chunks;
    ASSERT_TRUE(parseChunks(std::vector<uint8_t>(file.data.get(), file.data.get() + file.size), chunks));
    std::vector<uint8_t> filtered;
    ASSERT_TRUE(inflateWithZlib(chunks.at(1).data, filtered));
    for (unsigned y = 0; y < 480; ++y) ASSERT_EQ(filtered[y * 1201], 0) << "row " << y;
}

TEST(PngWriter, FailuresReportAndLeaveNoFile) {
    const std::vector<uint8_t> rgb = noiseImage(64, 64, 1);
    const std::string dir = makeTempDir();

    // A folder that does not exist: the file cannot be opened.
    EXPECT_EQ(savePng((dir + "/missing/a.png").c_str(), rgb.data(), 64, 64), 79u);

    // An empty picture is refused before any file is touched.
    const std::string empty = dir + "/empty.png";
    EXPECT_NE(savePng(empty.c_str(), rgb.data(), 0, 64), 0u);
    EXPECT_FALSE(exists(empty));

    // A device that takes no bytes: the open succeeds, the write fails, and
    // nothing is left under the name.
    const std::string full = dir + "/full.png";
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    unsigned result = savePng(full.c_str(), rgb.data(), 64, 64);
    EXPECT_NE(result, 0u);
    EXPECT_NE(result, 79u);
    EXPECT_FALSE(exists(full));
    std::remove(full.c_str());
    rmdir(dir.c_str());
}

}  // namespace
