// The simulated board's test picture and tone. Everything here is a pure
// function of the frame number, so tests can predict any pixel or sample.
//
// Top screen: red grows left to right, green top to bottom; a white square
// marks the top-left corner; "TOP" in white; a magenta bar moves right.
// Bottom screen: green grows left to right, blue top to bottom; the same
// corner square; "BOTTOM" in black; a cyan bar moves down; the frame number
// (five digits, white on black) below the middle.
// Once a second (every 60th frame) a white square lights low in the middle of
// the top screen and the sound of the same frame opens with a loud pulse:
// the two markers of one instant, for measuring sound against picture.
#include "usb/sim/sim_picture.h"

#include <cmath>

#include "usb/sim/board_model.h"

namespace usb {

namespace {

// 3 x 5 glyphs, one row per entry, bit 2 = left column.
struct Glyph {
    char ch;
    uint8_t rows[5];
};
constexpr Glyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'T', {7, 2, 2, 2, 2}}, {'O', {7, 5, 5, 5, 7}},
    {'P', {7, 5, 7, 4, 4}}, {'B', {6, 5, 6, 5, 6}}, {'M', {5, 7, 7, 5, 5}},
};

const Glyph* glyphFor(char ch) {
    for (const Glyph& g : kFont)
        if (g.ch == ch) return &g;
    return nullptr;
}

// Whether (x, y) is lit by `text` drawn at (ox, oy) with each glyph cell scale x scale.
bool textPixel(const char* text, int length, int ox, int oy, int scale, int x, int y) {
    const int lx = x - ox;
    const int ly = y - oy;
    if (lx < 0 || ly < 0 || ly >= 5 * scale) return false;
    const int advance = 4 * scale;
    const int index = lx / advance;
    if (index >= length) return false;
    const int gx = (lx % advance) / scale;
    if (gx >= 3) return false;
    const Glyph* glyph = glyphFor(text[index]);
    return glyph != nullptr && ((glyph->rows[ly / scale] >> (2 - gx)) & 1) != 0;
}

constexpr BoardModel::Rgb kWhite{255, 255, 255};
constexpr BoardModel::Rgb kBlack{0, 0, 0};
constexpr BoardModel::Rgb kMagenta{255, 0, 255};
constexpr BoardModel::Rgb kCyan{0, 255, 255};

constexpr int kMarkerSize = 16;
constexpr int kBarWidth = 4;
// The frame counter's black box on the bottom screen and its digits.
constexpr int kCounterX = 100, kCounterY = 170, kCounterScale = 6, kCounterDigits = 5;
constexpr int kBoxLeft = kCounterX - 4, kBoxTop = kCounterY - 4;
constexpr int kBoxRight = kCounterX + kCounterDigits * 4 * kCounterScale;  // exclusive
constexpr int kBoxBottom = kCounterY + 5 * kCounterScale + 4;             // exclusive

BoardModel::Rgb stillPixel(bool bottom, int x, int y) {
    if (x < kMarkerSize && y < kMarkerSize) return kWhite;
    if (!bottom) {
        if (textPixel("TOP", 3, 40, 40, 8, x, y)) return kWhite;
        return {static_cast<uint8_t>(x * 255 / (BoardModel::kTopWidth - 1)),
                static_cast<uint8_t>(y * 255 / (BoardModel::kHeight - 1)), 0x30};
    }
    if (textPixel("BOTTOM", 6, 40, 40, 6, x, y)) return kBlack;
    return {0x30, static_cast<uint8_t>(x * 255 / (BoardModel::kBottomWidth - 1)),
            static_cast<uint8_t>(y * 255 / (BoardModel::kHeight - 1))};
}

bool inSecondMarker(int x, int y) {
    return x >= BoardModel::kSecondMarkerX && x < BoardModel::kSecondMarkerX + kMarkerSize &&
           y >= BoardModel::kSecondMarkerY && y < BoardModel::kSecondMarkerY + kMarkerSize;
}

int topBarX(uint64_t frame) { return static_cast<int>((frame * 3) % BoardModel::kTopWidth); }
int bottomBarY(uint64_t frame) { return static_cast<int>((frame * 2) % BoardModel::kHeight); }

// One full period of a sine at 1 Hz, so that sample n of a tone of f Hz is
// entry (f * n) mod rate: exact phase for any n, no drift.
const int16_t* sineTable() {
    static const auto* table = [] {
        auto* t = new int16_t[BoardModel::kSampleRate];
        const double step = 2.0 * M_PI / BoardModel::kSampleRate;
        for (uint32_t i = 0; i < BoardModel::kSampleRate; ++i)
            t[i] = static_cast<int16_t>(std::lround(BoardModel::kToneAmplitude * std::sin(step * i)));
        return t;
    }();
    return table;
}

}  // namespace

BoardModel::Rgb BoardModel::expectedPixel(uint64_t frame, bool bottom, int x, int y) {
    if (x < kMarkerSize && y < kMarkerSize) return kWhite;  // nothing covers the corner marker
    if (!bottom) {
        if (isMarkerFrame(frame) && inSecondMarker(x, y)) return kWhite;
        const int bar = topBarX(frame);
        if (x >= bar && x < bar + kBarWidth) return kMagenta;
        return stillPixel(false, x, y);
    }
    if (x >= kBoxLeft && x < kBoxRight && y >= kBoxTop && y < kBoxBottom) {
        char digits[kCounterDigits];
        uint64_t n = frame;
        for (int i = kCounterDigits - 1; i >= 0; --i, n /= 10) digits[i] = static_cast<char>('0' + n % 10);
        return textPixel(digits, kCounterDigits, kCounterX, kCounterY, kCounterScale, x, y) ? kWhite
                                                                                            : kBlack;
    }
    const int bar = bottomBarY(frame);
    if (y >= bar && y < bar + kBarWidth) return kCyan;
    return stillPixel(true, x, y);
}

uint64_t BoardModel::firstSample(uint64_t frame) {
    // samples before frame k = floor(k * 32728 / 59.83), in integers.
    return frame * (uint64_t{kSampleRate} * 100) / 5983;
}

uint32_t BoardModel::samplesInFrame(uint64_t frame) {
    return static_cast<uint32_t>(firstSample(frame + 1) - firstSample(frame));
}

bool BoardModel::isMarkerFrame(uint64_t frame) { return frame % kMarkerEvery == 0; }

bool BoardModel::isMarkerSample(uint64_t n) {
    // The marker frame whose sound starts at or before n (samples per
    // marker period are about 32821, never less than kPulseSamples).
    uint64_t m = n / (firstSample(kMarkerEvery) + 1);
    while (firstSample((m + 1) * kMarkerEvery) <= n) ++m;
    return n - firstSample(m * kMarkerEvery) < kPulseSamples;
}

int16_t BoardModel::toneSample(uint64_t n, int channel) {
    if (isMarkerSample(n)) return channel == 0 ? kPulseAmplitude : -kPulseAmplitude;
    const uint64_t hz = channel == 0 ? kLeftHz : kRightHz;
    return sineTable()[(hz * (n % kSampleRate)) % kSampleRate];
}

// Board order: column c at byte 720 c, pixel p of a column = screen row 239 - p.
static void putPixel(uint8_t* video, int column, int row, BoardModel::Rgb rgb) {
    uint8_t* p = video + 720 * column + 3 * (BoardModel::kHeight - 1 - row);
    p[0] = rgb.r;
    p[1] = rgb.g;
    p[2] = rgb.b;
}

void drawStillPicture(uint8_t* video) {
    for (int x = 0; x < BoardModel::kTopWidth; ++x)
        for (int y = 0; y < BoardModel::kHeight; ++y) putPixel(video, x, y, stillPixel(false, x, y));
    for (int x = 0; x < BoardModel::kBottomWidth; ++x)
        for (int y = 0; y < BoardModel::kHeight; ++y)
            putPixel(video, BoardModel::kTopWidth + x, y, stillPixel(true, x, y));
}

// Draws what moves over a copy of the still picture.
void drawMovingParts(uint8_t* video, uint64_t frame) {
    const int topBar = topBarX(frame);
    for (int x = topBar; x < topBar + kBarWidth && x < BoardModel::kTopWidth; ++x)
        for (int y = 0; y < BoardModel::kHeight; ++y) putPixel(video, x, y, BoardModel::expectedPixel(frame, false, x, y));
    const int bottomBar = bottomBarY(frame);
    for (int y = bottomBar; y < bottomBar + kBarWidth && y < BoardModel::kHeight; ++y)
        for (int x = 0; x < BoardModel::kBottomWidth; ++x)
            putPixel(video, BoardModel::kTopWidth + x, y, BoardModel::expectedPixel(frame, true, x, y));
    for (int x = kBoxLeft; x < kBoxRight; ++x)
        for (int y = kBoxTop; y < kBoxBottom; ++y)
            putPixel(video, BoardModel::kTopWidth + x, y, BoardModel::expectedPixel(frame, true, x, y));
    if (BoardModel::isMarkerFrame(frame))
        for (int x = BoardModel::kSecondMarkerX; x < BoardModel::kSecondMarkerX + kMarkerSize; ++x)
            for (int y = BoardModel::kSecondMarkerY; y < BoardModel::kSecondMarkerY + kMarkerSize; ++y)
                putPixel(video, x, y, kWhite);
}

void drawSound(uint8_t* out, uint64_t frame) {
    const uint64_t first = BoardModel::firstSample(frame);
    const uint32_t count = BoardModel::samplesInFrame(frame);
    for (uint32_t i = 0; i < count; ++i) {
        const int16_t left = BoardModel::toneSample(first + i, 0);
        const int16_t right = BoardModel::toneSample(first + i, 1);
        out[4 * i + 0] = static_cast<uint8_t>(left & 0xFF);
        out[4 * i + 1] = static_cast<uint8_t>((left >> 8) & 0xFF);
        out[4 * i + 2] = static_cast<uint8_t>(right & 0xFF);
        out[4 * i + 3] = static_cast<uint8_t>((right >> 8) & 0xFF);
    }
}

}  // namespace usb
