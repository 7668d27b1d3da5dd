#include "record/codec/msvideo1_blocks.h"

namespace msvideo1 {

namespace {

struct Centre {
    int32_t r, g, b;
};

inline int32_t distance(const Block& k, int i, const Centre& c) {
    int32_t dr = k.r[i] - c.r, dg = k.g[i] - c.g, db = k.b[i] - c.b;
    return dr * dr + dg * dg + db * db;
}

inline Centre pixel(const Block& k, int i) { return {k.r[i], k.g[i], k.b[i]}; }

inline uint16_t pack(const Centre& c) { return pack555(c.r, c.g, c.b); }

struct Pair {
    Centre a, b;
    uint32_t bits;  // bit j set: the j-th pixel of the set is a
    int32_t err;
};

// Two colours for the pixels idx[0..N). The seeds are two pixels far apart
// (the one farthest from the first pixel, and the one farthest from that),
// so a set of at most two distinct colours is met exactly; one round of
// averaging then moves the colours to the middle of their groups.
template <int N>
Pair fitPair(const Block& k, const int (&idx)[N]) {
    const Centre first = pixel(k, idx[0]);
    int seed1 = idx[0];
    int32_t far = 0;
    for (int j = 1; j < N; ++j) {
        int32_t d = distance(k, idx[j], first);
        if (d > far) far = d, seed1 = idx[j];
    }
    if (far == 0) return {first, first, 0, 0};
    const Centre c1 = pixel(k, seed1);
    int seed2 = seed1;
    far = 0;
    for (int j = 0; j < N; ++j) {
        int32_t d = distance(k, idx[j], c1);
        if (d > far) far = d, seed2 = idx[j];
    }
    Pair p{c1, pixel(k, seed2), 0, 0};

    // Group by the nearer seed and average each group (rounded).
    int32_t sa[3] = {}, sb[3] = {}, na = 0;
    for (int j = 0; j < N; ++j) {
        const int i = idx[j];
        const bool toA = distance(k, i, p.a) <= distance(k, i, p.b);
        int32_t* s = toA ? sa : sb;
        s[0] += k.r[i], s[1] += k.g[i], s[2] += k.b[i];
        na += toA;
    }
    const int32_t nb = N - na;  // both groups hold their seed
    p.a = {(sa[0] + na / 2) / na, (sa[1] + na / 2) / na, (sa[2] + na / 2) / na};
    p.b = {(sb[0] + nb / 2) / nb, (sb[1] + nb / 2) / nb, (sb[2] + nb / 2) / nb};

    for (int j = 0; j < N; ++j) {
        const int i = idx[j];
        const int32_t da = distance(k, i, p.a), db = distance(k, i, p.b);
        if (da <= db) {
            p.bits |= 1u << j;
            p.err += da;
        } else {
            p.err += db;
        }
    }
    return p;
}

constexpr int kAll[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr int kQuadrants[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};

inline int quadrantOf(int i) { return ((i >> 3) & 1) * 2 + ((i >> 1) & 1); }

inline void put16(uint8_t* out, uint16_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

OneColour fitOne(const Block& k) {
    int32_t s[3] = {};
    for (int i = 0; i < kBlockPixels; ++i) s[0] += k.r[i], s[1] += k.g[i], s[2] += k.b[i];
    const Centre mean{(s[0] + 8) >> 4, (s[1] + 8) >> 4, (s[2] + 8) >> 4};
    int32_t err = 0;
    for (int i = 0; i < kBlockPixels; ++i) err += distance(k, i, mean);
    return {pack(mean), err};
}

TwoColours fitTwo(const Block& k) {
    const Pair p = fitPair(k, kAll);
    return {pack(p.a), pack(p.b), static_cast<uint16_t>(p.bits), p.err};
}

EightColours fitEight(const Block& k) {
    EightColours e{};
    for (int q = 0; q < 4; ++q) {
        const Pair p = fitPair(k, kQuadrants[q]);
        e.colours[2 * q] = pack(p.a);
        e.colours[2 * q + 1] = pack(p.b);
        for (int j = 0; j < 4; ++j)
            if (p.bits & (1u << j)) e.mask = static_cast<uint16_t>(e.mask | (1u << kQuadrants[q][j]));
        e.err += p.err;
    }
    return e;
}

int writeOne(const OneColour& fit, uint8_t* out, uint16_t* shown) {
    const uint16_t word = static_cast<uint16_t>(fit.colour | 0x8000);
    // A red of 1 would read as a skip: say it with two equal colours instead.
    if ((word & 0xFC00) == 0x8400) return writeTwo({fit.colour, fit.colour, 1, fit.err}, out, shown);
    put16(out, word);
    for (int i = 0; i < kBlockPixels; ++i) shown[i] = fit.colour;
    return 2;
}

int writeTwo(TwoColours fit, uint8_t* out, uint16_t* shown) {
    if (fit.mask & 0x8000) {
        const uint16_t t = fit.a;
        fit.a = fit.b;
        fit.b = t;
        fit.mask = static_cast<uint16_t>(~fit.mask);
    }
    // An all-zero word can read as the end of the frame.
    if (fit.mask == 0) fit.a = fit.b, fit.mask = 1;
    put16(out, fit.mask);
    put16(out + 2, fit.a);
    put16(out + 4, fit.b);
    for (int i = 0; i < kBlockPixels; ++i) shown[i] = (fit.mask >> i) & 1 ? fit.a : fit.b;
    return 6;
}

int writeEight(EightColours fit, uint8_t* out, uint16_t* shown) {
    if (fit.mask & 0x8000) {
        const uint16_t t = fit.colours[6];
        fit.colours[6] = fit.colours[7];
        fit.colours[7] = t;
        for (int i : kQuadrants[3]) fit.mask = static_cast<uint16_t>(fit.mask ^ (1u << i));
    }
    put16(out, fit.mask);
    put16(out + 2, static_cast<uint16_t>(fit.colours[0] | 0x8000));
    for (int c = 1; c < 8; ++c) put16(out + 2 + 2 * c, fit.colours[c]);
    for (int i = 0; i < kBlockPixels; ++i)
        shown[i] = fit.colours[2 * quadrantOf(i) + (((fit.mask >> i) & 1) ? 0 : 1)];
    return 18;
}

int writeSkip(int n, uint8_t* out) {
    put16(out, static_cast<uint16_t>(0x8400 + n));
    return 2;
}

}  // namespace msvideo1
