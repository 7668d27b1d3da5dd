#include "test_images.h"

#include <random>

namespace pngtest {

std::vector<uint8_t> flatImage(unsigned w, unsigned h, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    return rgb;
}

std::vector<uint8_t> gradientImage(unsigned w, unsigned h) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
            p[0] = uint8_t(x * 255 / (w > 1 ? w - 1 : 1));
            p[1] = uint8_t(y * 255 / (h > 1 ? h - 1 : 1));
            p[2] = uint8_t((x + 2 * y) & 0xFF);
        }
    return rgb;
}

std::vector<uint8_t> noiseImage(unsigned w, unsigned h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (auto& v : rgb) v = uint8_t(rng());
    return rgb;
}

namespace {

void paintScreen(std::vector<uint8_t>& rgb, unsigned stride, unsigned x0, unsigned y0, unsigned w, unsigned h,
                 uint32_t seed) {
    std::mt19937 rng(seed);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            uint8_t* p = &rgb[(size_t(y0 + y) * stride + x0 + x) * 3];
            // Sky gradient above, a tiled floor below.
            if (y < h / 2) {
                p[0] = uint8_t(40 + y / 2);
                p[1] = uint8_t(90 + y / 3);
                p[2] = uint8_t(200 - y / 4);
            } else {
                bool dark = ((x / 16) + (y / 16)) & 1;
                uint8_t shade = uint8_t(((x * 7 + y * 3) % 16) * 2);
                p[0] = uint8_t((dark ? 90 : 150) + shade);
                p[1] = uint8_t((dark ? 60 : 110) + shade);
                p[2] = uint8_t((dark ? 30 : 50) + shade / 2);
            }
            // A round sprite with a little grain.
            int dx = int(x) - int(w) / 3, dy = int(y) - int(h) / 2;
            if (dx * dx + dy * dy < 30 * 30) {
                p[0] = uint8_t(220 + rng() % 20);
                p[1] = uint8_t(40 + rng() % 10);
                p[2] = 40;
            }
            // A text line: 8x8 glyph cells with pseudo-random bits.
            if (y >= 8 && y < 16 && x >= 8 && x < w - 8) {
                unsigned glyph = (x / 8) * 2654435761u;
                bool on = (glyph >> ((y % 8) * 4 + (x % 8) / 2)) & 1;
                p[0] = p[1] = p[2] = on ? 255 : 0;
            }
        }
}

}  // namespace

std::vector<uint8_t> frameLikeImage(unsigned w, unsigned h) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3, 0);
    if (w == 400 && h == 480) {
        paintScreen(rgb, w, 0, 0, 400, 240, 1);
        paintScreen(rgb, w, 40, 240, 320, 240, 2);
    } else if (w == 800 && (h == 480 || h == 960)) {
        paintScreen(rgb, w, 0, 0, 400, h / 2, 1);
        paintScreen(rgb, w, 400, 0, 400, h / 2, 3);
        paintScreen(rgb, w, 240, h / 2, 320, h / 2, 2);
    } else {
        paintScreen(rgb, w, 0, 0, w, h / 2, 1);
        paintScreen(rgb, w, 0, h / 2, w, h - h / 2, 2);
    }
    return rgb;
}

}  // namespace pngtest
