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

inline uint16_t pack(const Centre& c) { return pack555(c.r, c.g, c.b); }

struct Pair {
    Centre a, b;
    uint32_t bits;  // bit j set: pixel j of the set is a
    int32_t err;
};

// Two colours for N pixels given channel by channel. The seeds are the
// lowest and highest pixel of the channel that spreads widest, so a set of
// at most two distinct colours is met exactly; one round of averaging then
// moves the colours to the middle of their groups. The loops over the
// pixels have no branches, for the vectoriser.
template <int N>
Pair fitPair(const int16_t* r, const int16_t* g, const int16_t* b) {
    const int16_t* ch[3] = {r, g, b};
    int lowest[3] = {0, 0, 0}, highest[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c)
        for (int j = 1; j < N; ++j) {
            if (ch[c][j] < ch[c][lowest[c]]) lowest[c] = j;
            if (ch[c][j] > ch[c][highest[c]]) highest[c] = j;
        }
    int wide = 0, spread = -1;
    for (int c = 0; c < 3; ++c) {
        const int s = ch[c][highest[c]] - ch[c][lowest[c]];
        if (s > spread) spread = s, wide = c;
    }
    const Centre first{r[0], g[0], b[0]};
    if (spread == 0) return {first, first, 0, 0};
    const int sa = lowest[wide], sb = highest[wide];
    Centre a{r[sa], g[sa], b[sa]}, bc{r[sb], g[sb], b[sb]};

    // Group by the nearer seed (the seeds differ, so each keeps its own
    // pixel) and average each group, rounded.
    int16_t toA[N];
    for (int j = 0; j < N; ++j) {
        const int da = (r[j] - a.r) * (r[j] - a.r) + (g[j] - a.g) * (g[j] - a.g) + (b[j] - a.b) * (b[j] - a.b);
        const int db = (r[j] - bc.r) * (r[j] - bc.r) + (g[j] - bc.g) * (g[j] - bc.g) + (b[j] - bc.b) * (b[j] - bc.b);
        toA[j] = static_cast<int16_t>(da <= db);
    }
    int na = 0, ar = 0, ag = 0, ab = 0, tr = 0, tg = 0, tb = 0;
    for (int j = 0; j < N; ++j) {
        na += toA[j];
        ar += toA[j] * r[j], ag += toA[j] * g[j], ab += toA[j] * b[j];
        tr += r[j], tg += g[j], tb += b[j];
    }
    const int nb = N - na;
    a = {(ar + na / 2) / na, (ag + na / 2) / na, (ab + na / 2) / na};
    bc = {(tr - ar + nb / 2) / nb, (tg - ag + nb / 2) / nb, (tb - ab + nb / 2) / nb};

    Pair p{a, bc, 0, 0};
    int16_t inA[N];
    int err = 0;
    for (int j = 0; j < N; ++j) {
        const int da = (r[j] - a.r) * (r[j] - a.r) + (g[j] - a.g) * (g[j] - a.g) + (b[j] - a.b) * (b[j] - a.b);
        const int db = (r[j] - bc.r) * (r[j] - bc.r) + (g[j] - bc.g) * (g[j] - bc.g) + (b[j] - bc.b) * (b[j] - bc.b);
        inA[j] = static_cast<int16_t>(da <= db);
        err += da <= db ? da : db;
    }
    for (int j = 0; j < N; ++j) p.bits |= static_cast<uint32_t>(inA[j]) << j;
    p.err = err;
    return p;
}

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
    const Pair p = fitPair<16>(k.r, k.g, k.b);
    return {pack(p.a), pack(p.b), static_cast<uint16_t>(p.bits), p.err};
}

EightColours fitEight(const Block& k) {
    // The pixels in quadrant order, each quadrant's four side by side.
    Block byQuadrant;
    for (int q = 0; q < 4; ++q)
        for (int j = 0; j < 4; ++j) {
            const int i = kQuadrants[q][j];
            byQuadrant.r[4 * q + j] = k.r[i], byQuadrant.g[4 * q + j] = k.g[i], byQuadrant.b[4 * q + j] = k.b[i];
        }
    EightColours e{};
    for (int q = 0; q < 4; ++q) {
        const Pair p = fitPair<4>(byQuadrant.r + 4 * q, byQuadrant.g + 4 * q, byQuadrant.b + 4 * q);
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
