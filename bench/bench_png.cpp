// Snapshot encoding: our PNG writer against libpng with zlib. Pictures: the
// demo board's frame decoded as "2D" (400x480) and "3D SBS stretched"
// (800x960), and a busier synthetic game screen in both sizes.
// Each row reports the encoding time and, as the counter "bytes", the file
// (or for the zlib-only row, the stream) size.
#include <benchmark/benchmark.h>
#include <png.h>

#include <zlib.h>

#include <cstring>
#include <random>
#include <memory>
#include <vector>

#include "core/frame_buffer.h"
#include "display/decode.h"
#include "record/png_writer.h"
#include "settings/settings.h"
#include "usb/sim/sim_picture.h"

namespace {

struct Picture {
    unsigned width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

// One demo frame decoded for the display type, as RGB rows.
Picture demoPicture(uint32_t displayType) {
    FrameBuffer frame;
    std::unique_ptr<uint8_t[]> video(new uint8_t[kVideoStorageAllocBytes]());
    usb::drawStillPicture(video.get());
    usb::drawMovingParts(video.get(), 120);
    frame.videoStorage = video.get();
    settings.displayType = displayType;
    decodeFrame(&frame);
    Picture p;
    p.width = unsigned(frame.layout.imageWidth);
    p.height = unsigned(frame.layout.imageHeight);
    p.rgb.resize(size_t(p.width) * p.height * 3);
    for (size_t i = 0; i < size_t(p.width) * p.height; ++i) {
        uint32_t px = frame.displayImage[i];
        p.rgb[3 * i] = uint8_t(px >> 16);
        p.rgb[3 * i + 1] = uint8_t(px >> 8);
        p.rgb[3 * i + 2] = uint8_t(px);
    }
    freeDisplayImage(&frame);
    return p;
}

// A busier screen than the demo's: gradients, tiles, a grainy sprite, text.
void paintScreen(Picture& p, unsigned x0, unsigned y0, unsigned w, unsigned h, uint32_t seed) {
    std::mt19937 rng(seed);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            uint8_t* px = &p.rgb[(size_t(y0 + y) * p.width + x0 + x) * 3];
            if (y < h / 2) {
                px[0] = uint8_t(40 + y / 2);
                px[1] = uint8_t(90 + y / 3);
                px[2] = uint8_t(200 - y / 4);
            } else {
                bool dark = ((x / 16) + (y / 16)) & 1;
                uint8_t shade = uint8_t(((x * 7 + y * 3) % 16) * 2);
                px[0] = uint8_t((dark ? 90 : 150) + shade);
                px[1] = uint8_t((dark ? 60 : 110) + shade);
                px[2] = uint8_t((dark ? 30 : 50) + shade / 2);
            }
            int dx = int(x) - int(w) / 3, dy = int(y) - int(h) / 2;
            if (dx * dx + dy * dy < 30 * 30) {
                px[0] = uint8_t(220 + rng() % 20);
                px[1] = uint8_t(40 + rng() % 10);
                px[2] = 40;
            }
            if (y >= 8 && y < 16 && x >= 8 && x < w - 8) {
                unsigned glyph = (x / 8) * 2654435761u;
                bool on = (glyph >> ((y % 8) * 4 + (x % 8) / 2)) & 1;
                px[0] = px[1] = px[2] = on ? 255 : 0;
            }
        }
}

Picture syntheticPicture(unsigned width, unsigned height) {
    Picture p;
    p.width = width;
    p.height = height;
    p.rgb.assign(size_t(width) * height * 3, 0);
    if (height == 480) {
        paintScreen(p, 0, 0, 400, 240, 1);
        paintScreen(p, 40, 240, 320, 240, 2);
    } else {
        paintScreen(p, 0, 0, 400, 480, 1);
        paintScreen(p, 400, 0, 400, 480, 3);
        paintScreen(p, 240, 480, 320, 480, 2);
    }
    return p;
}

// Argument: 0 demo 400x480, 1 demo 800x960, 2 synthetic 400x480, 3 synthetic 800x960.
const Picture& picture(int which) {
    static const Picture pictures[4] = {demoPicture(1), demoPicture(3), syntheticPicture(400, 480),
                                        syntheticPicture(800, 960)};
    return pictures[which];
}

void encodeOurs(benchmark::State& state) {
    const Picture& p = picture(int(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        PngFile file;
        if (encodePng(p.rgb.data(), p.width, p.height, file) != kPngOk) state.SkipWithError("encode failed");
        bytes = file.size;
        benchmark::DoNotOptimize(file.data.get());
    }
    state.counters["bytes"] = double(bytes);
}

void appendToVector(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

// libpng's default adaptive filtering; zlib at the given level and window.
size_t encodeLibpng(const Picture& p, int level, int windowBits) {
    std::vector<uint8_t> out;
    out.reserve(p.rgb.size());
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return 0;
    }
    png_set_write_fn(png, &out, appendToVector, flushNothing);
    png_set_compression_level(png, level);
    if (windowBits) png_set_compression_window_bits(png, windowBits);
    png_set_IHDR(png, info, p.width, p.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (unsigned y = 0; y < p.height; ++y)
        png_write_row(png, const_cast<png_bytep>(&p.rgb[size_t(y) * p.width * 3]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out.size();
}

void encodeLibpngLevel6(benchmark::State& state) {
    const Picture& p = picture(int(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) bytes = encodeLibpng(p, 6, 0);
    state.counters["bytes"] = double(bytes);
}

void encodeLibpngLevel9Window2K(benchmark::State& state) {
    const Picture& p = picture(int(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) bytes = encodeLibpng(p, 9, 11);
    state.counters["bytes"] = double(bytes);
}

// Our filtered rows through zlib at level 9 with a 2048-byte window: the
// size our deflate step would reach with zlib's lazy matching.
void zlibLevel9Window2KOnOurRows(benchmark::State& state) {
    const Picture& p = picture(int(state.range(0)));
    PngFile file;
    encodePng(p.rgb.data(), p.width, p.height, file);
    // The IDAT data starts after the signature, IHDR and the IDAT header.
    const uint8_t* idat = file.data.get() + 8 + 25 + 8;
    const size_t idatSize = file.size - (8 + 25 + 12 + 12);
    std::vector<uint8_t> rows(size_t(p.width * 3 + 1) * p.height);
    uLongf rowsSize = uLongf(rows.size());
    uncompress(rows.data(), &rowsSize, idat, uLong(idatSize));
    std::vector<uint8_t> out(compressBound(uLong(rows.size())));
    size_t bytes = 0;
    for (auto _ : state) {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, 11, 8, Z_DEFAULT_STRATEGY);
        z.next_in = rows.data();
        z.avail_in = uInt(rows.size());
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        deflate(&z, Z_FINISH);
        bytes = z.total_out;
        deflateEnd(&z);
    }
    state.counters["bytes"] = double(bytes);
    state.counters["ourIdat"] = double(idatSize);
}

void pictures(benchmark::internal::Benchmark* b) {
    b->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
}

BENCHMARK(encodeOurs)->Apply(pictures);
BENCHMARK(encodeLibpngLevel6)->Apply(pictures);
BENCHMARK(encodeLibpngLevel9Window2K)->Apply(pictures);
BENCHMARK(zlibLevel9Window2KOnOurRows)->Apply(pictures);

}  // namespace

BENCHMARK_MAIN();
