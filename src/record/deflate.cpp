#include "record/deflate.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "base/checksums.h"

namespace {

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                    33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLenOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
constexpr uint8_t kCodeLenExtra[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};

template <int N, typename F>
constexpr std::array<uint8_t, N> makeTable(F codeOf) {
    std::array<uint8_t, N> t{};
    for (int v = 0; v < N; ++v) t[v] = codeOf(v);
    return t;
}

// Match length 0..258 -> length code 0..28 (entries below 3 unused).
constexpr auto kLengthCode = makeTable<259>([](int len) {
    int c = 0;
    while (c < 28 && kLengthBase[c + 1] <= len) ++c;
    return uint8_t(c);
});
// Distance 0..2048 -> distance code (entry 0 unused).
constexpr auto kDistCode = makeTable<ZlibEncoder::kWindow + 1>([](int dist) {
    int c = 0;
    while (c < 29 && kDistBase[c + 1] <= dist) ++c;
    return uint8_t(c);
});

constexpr int kHashBits = 15;
constexpr int kHashSize = 1 << kHashBits;
// How many newer entries a switch of chains may skip before giving up.
constexpr int kSkipBudget = 24;
// Twice the window, so a chain link within the window is never overwritten
// before the search that needs it.
constexpr int kPrevSize = 2 * ZlibEncoder::kWindow;

inline uint32_t hash3(const uint8_t* p) {
    uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    return (v * 2654435761u) >> (32 - kHashBits);
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Length of the common prefix of a and b, at most maxLen.
inline int commonLength(const uint8_t* a, const uint8_t* b, int maxLen) {
    int len = 0;
    while (len + 8 <= maxLen) {
        uint64_t diff = load64(a + len) ^ load64(b + len);
        if (diff) return len + (__builtin_ctzll(diff) >> 3);
        len += 8;
    }
    while (len < maxLen && a[len] == b[len]) ++len;
    return len;
}

uint16_t reverseBits(uint16_t code, int bits) {
    uint16_t r = 0;
    for (int i = 0; i < bits; ++i) r = uint16_t(r << 1 | ((code >> i) & 1));
    return r;
}

// Canonical codes from lengths, bit-reversed for LSB-first output.
void makeCodes(const uint8_t* lengths, int count, uint16_t* codes) {
    uint16_t lengthCount[16] = {};
    for (int i = 0; i < count; ++i) ++lengthCount[lengths[i]];
    lengthCount[0] = 0;
    uint16_t next[16] = {};
    uint16_t code = 0;
    for (int bits = 1; bits < 16; ++bits) {
        code = uint16_t((code + lengthCount[bits - 1]) << 1);
        next[bits] = code;
    }
    for (int i = 0; i < count; ++i)
        codes[i] = lengths[i] ? reverseBits(next[lengths[i]]++, lengths[i]) : 0;
}

// A decoder wants a complete code: give a second (never used) symbol a
// count when fewer than two are used.
void ensureTwoUsed(uint32_t* freqs, int count) {
    int used = 0;
    for (int i = 0; i < count; ++i) used += freqs[i] != 0;
    for (int i = 0; i < count && used < 2; ++i)
        if (freqs[i] == 0) {
            freqs[i] = 1;
            ++used;
        }
}

// Run-length codes a list of code lengths with symbols 16, 17 and 18.
int runLengthCode(const uint8_t* lengths, int count, uint16_t* items) {
    int n = 0;
    auto add = [&](int sym, int extra) { items[n++] = uint16_t(sym | extra << 8); };
    for (int i = 0; i < count;) {
        int v = lengths[i];
        int run = 1;
        while (i + run < count && lengths[i + run] == v) ++run;
        i += run;
        if (v == 0) {
            while (run >= 11) {
                int r = std::min(run, 138);
                add(18, r - 11);
                run -= r;
            }
            if (run >= 3) {
                add(17, run - 3);
                run = 0;
            }
        } else {
            add(v, 0);
            --run;
            while (run >= 3) {
                int r = std::min(run, 6);
                add(16, r - 3);
                run -= r;
            }
        }
        while (run-- > 0) add(v, 0);
    }
    return n;
}

// Collects bits LSB first straight into the output.
class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) {}
    void put(uint32_t bits, int count) {
        acc_ |= uint64_t(bits) << count_;
        count_ += count;
        if (count_ >= 32) {
            uint32_t word = uint32_t(acc_);
            out_[0] = uint8_t(word);
            out_[1] = uint8_t(word >> 8);
            out_[2] = uint8_t(word >> 16);
            out_[3] = uint8_t(word >> 24);
            out_ += 4;
            acc_ >>= 32;
            count_ -= 32;
        }
    }
    // Writes the last partial byte; returns the end of the output.
    uint8_t* finish() {
        while (count_ > 0) {
            *out_++ = uint8_t(acc_);
            acc_ >>= 8;
            count_ -= 8;
        }
        count_ = 0;
        return out_;
    }

private:
    uint8_t* out_;
    uint64_t acc_ = 0;
    int count_ = 0;
};

}  // namespace

void buildCodeLengths(const uint32_t* freqs, int count, int maxBits, uint8_t* lengths) {
    std::memset(lengths, 0, size_t(count));
    // Used symbols in ascending order of frequency (stable on symbol number).
    constexpr int kMaxAlphabet = 320;  // covers the 286 literal/length codes
    if (count > kMaxAlphabet || maxBits > 15) return;
    int order[kMaxAlphabet];
    int n = 0;
    for (int i = 0; i < count; ++i)
        if (freqs[i]) order[n++] = i;
    if (n == 0) return;
    if (n == 1) {
        lengths[order[0]] = 1;
        return;
    }
    if (n > (1 << maxBits)) return;  // no code of that many symbols fits the limit
    std::stable_sort(order, order + n, [&](int a, int b) { return freqs[a] < freqs[b]; });

    // Package-merge: each level's list is the leaves merged with the pairs of
    // the level below. Only whether an item is a leaf needs keeping: the first
    // 2n-2 items of the top list then decide every length.
    constexpr int kMaxItems = 2 * kMaxAlphabet;
    uint64_t weights[2][kMaxItems];
    bool isLeaf[16][kMaxItems];
    int listSize[16];
    int cur = 0;
    for (int j = 0; j < n; ++j) {
        weights[cur][j] = freqs[order[j]];
        isLeaf[1][j] = true;
    }
    listSize[1] = n;
    for (int level = 2; level <= maxBits; ++level) {
        const uint64_t* below = weights[cur];
        uint64_t* out = weights[cur ^ 1];
        int pairs = listSize[level - 1] / 2;
        int leaf = 0, pair = 0, size = 0;
        while (leaf < n || pair < pairs) {
            uint64_t pairWeight = pair < pairs ? below[2 * pair] + below[2 * pair + 1] : 0;
            if (pair >= pairs || (leaf < n && freqs[order[leaf]] <= pairWeight)) {
                out[size] = freqs[order[leaf++]];
                isLeaf[level][size++] = true;
            } else {
                out[size] = pairWeight;
                isLeaf[level][size++] = false;
                ++pair;
            }
        }
        listSize[level] = size;
        cur ^= 1;
    }
    int take = 2 * n - 2;
    for (int level = maxBits; level >= 1 && take > 0; --level) {
        int leaves = 0;
        for (int j = 0; j < take; ++j) leaves += isLeaf[level][j];
        for (int j = 0; j < leaves; ++j) ++lengths[order[j]];
        take = 2 * (take - leaves);
    }
}

bool ZlibEncoder::encode(const uint8_t* data, size_t size) {
    symbols_.reset();
    symbolCount_ = 0;
    streamBytes_ = 0;
    if (size > size_t(INT32_MAX) - kMaxMatch) return false;
    symbols_.reset(new (std::nothrow) uint32_t[size ? size : 1]);
    std::unique_ptr<int32_t[]> index(new (std::nothrow) int32_t[kHashSize + kPrevSize]);
    if (!symbols_ || !index) {
        symbols_.reset();
        return false;
    }
    int32_t* head = index.get();
    int32_t* prev = head + kHashSize;
    std::fill(head, head + kHashSize, -1);
    std::memset(litFreq_, 0, sizeof litFreq_);
    std::memset(distFreq_, 0, sizeof distFreq_);

    const int32_t n = int32_t(size);
    auto insert = [&](int32_t pos) {
        uint32_t h = hash3(data + pos);
        prev[pos & (kPrevSize - 1)] = head[h];
        head[h] = pos;
    };
    uint32_t* sym = symbols_.get();
    int32_t p = 0;
    while (p < n) {
        if (n - p < kMinMatch) {
            ++litFreq_[data[p]];
            *sym++ = data[p++];
            continue;
        }
        const int maxLen = std::min(kMaxMatch, int(n - p));
        const int32_t oldest = std::max(p - kWindow, 0);
        const uint8_t* cur = data + p;
        int best = 0;
        int32_t bestDist = 0;
        // The walk follows the chain of the three bytes at cur + offset; the
        // candidate is the chain entry minus offset. Once a match is known,
        // any longer one also repeats the three bytes at some later offset,
        // and that chain is often far shorter: in a long run of one byte the
        // first chain holds every position of the run, a later one only the
        // places where such a run ended alike.
        int32_t offset = 0;
        int32_t entry = head[hash3(cur)];
        while (entry >= 0) {
            const int32_t cand = entry - offset;
            if (cand < oldest) break;
            const uint8_t* c = data + cand;
            // Only a candidate that agrees at the current best's end can beat it.
            if (c[best] == cur[best] && c[0] == cur[0]) {
                int len = commonLength(c, cur, maxLen);
                if (len > best) {
                    best = len;
                    bestDist = p - cand;
                    if (len == maxLen) break;
                    if (best >= kMinMatch) {
                        // A longer match must also repeat the bytes at best-2..best
                        // (the last is where this one failed); their chain is
                        // usually short. Enter it at its head and skip what is not
                        // older than this candidate, unless that takes long: then
                        // the chain of the last three matched bytes, entered right
                        // at this candidate, or else the current chain will do.
                        const int32_t tailOffset = best - 2;
                        int32_t tail = head[hash3(cur + tailOffset)];
                        int budget = kSkipBudget;
                        while (tail >= 0 && tail - tailOffset >= cand && budget-- > 0) {
                            int32_t next = prev[tail & (kPrevSize - 1)];
                            tail = next < tail ? next : -1;
                        }
                        if (tail < 0 || tail - tailOffset < cand) {
                            offset = tailOffset;
                            entry = tail;
                            continue;
                        }
                        if (cand + best - kMinMatch < p) {
                            offset = best - kMinMatch;
                            entry = cand + offset;
                        }
                    }
                }
            }
            int32_t next = prev[entry & (kPrevSize - 1)];
            if (next >= entry) break;
            entry = next;
        }
        insert(p);
        if (best >= kMinMatch) {
            ++litFreq_[257 + kLengthCode[best]];
            ++distFreq_[kDistCode[bestDist]];
            *sym++ = uint32_t(best) << 16 | uint32_t(bestDist);
            const int32_t end = p + best;
            const int32_t lastIndexed = std::min(end, n - kMinMatch + 1);
            for (int32_t q = p + 1; q < lastIndexed; ++q) insert(q);
            p = end;
        } else {
            ++litFreq_[data[p]];
            *sym++ = data[p++];
        }
    }
    symbolCount_ = size_t(sym - symbols_.get());
    litFreq_[256] = 1;
    adler_ = adler32Update(1, data, size);
    planBlock();
    return true;
}

void ZlibEncoder::planBlock() {
    uint32_t litFreq[kLitLenCodes], distFreq[kDistCodes];
    std::memcpy(litFreq, litFreq_, sizeof litFreq);
    std::memcpy(distFreq, distFreq_, sizeof distFreq);
    ensureTwoUsed(litFreq, kLitLenCodes);
    ensureTwoUsed(distFreq, kDistCodes);
    buildCodeLengths(litFreq, kLitLenCodes, 15, litLen_);
    buildCodeLengths(distFreq, kDistCodes, 15, distLen_);
    makeCodes(litLen_, kLitLenCodes, litCode_);
    makeCodes(distLen_, kDistCodes, distCode_);

    hlit_ = kLitLenCodes;
    while (hlit_ > 257 && litLen_[hlit_ - 1] == 0) --hlit_;
    hdist_ = kDistCodes;
    while (hdist_ > 1 && distLen_[hdist_ - 1] == 0) --hdist_;

    // The two lists are coded separately so no run crosses from one into the other.
    clItemCount_ = runLengthCode(litLen_, hlit_, clItems_);
    clItemCount_ += runLengthCode(distLen_, hdist_, clItems_ + clItemCount_);
    uint32_t clFreq[kCodeLenCodes] = {};
    for (int i = 0; i < clItemCount_; ++i) ++clFreq[clItems_[i] & 0xFF];
    uint32_t clFreqBuild[kCodeLenCodes];
    std::memcpy(clFreqBuild, clFreq, sizeof clFreq);
    ensureTwoUsed(clFreqBuild, kCodeLenCodes);
    buildCodeLengths(clFreqBuild, kCodeLenCodes, 7, clLen_);
    makeCodes(clLen_, kCodeLenCodes, clCode_);
    hclen_ = kCodeLenCodes;
    while (hclen_ > 4 && clLen_[kCodeLenOrder[hclen_ - 1]] == 0) --hclen_;

    uint64_t bits = 3 + 5 + 5 + 4 + 3 * uint64_t(hclen_);
    for (int s = 0; s < kCodeLenCodes; ++s) bits += uint64_t(clFreq[s]) * (clLen_[s] + kCodeLenExtra[s]);
    for (int s = 0; s < kLitLenCodes; ++s) {
        int extra = s > 256 ? kLengthExtra[s - 257] : 0;
        bits += uint64_t(litFreq_[s]) * (litLen_[s] + extra);
    }
    for (int s = 0; s < kDistCodes; ++s) bits += uint64_t(distFreq_[s]) * (distLen_[s] + kDistExtra[s]);
    blockBits_ = bits;
    streamBytes_ = 2 + size_t((bits + 7) / 8) + 4;
}

void ZlibEncoder::write(uint8_t* out) const {
    out[0] = 0x78;  // deflate, 32K window field
    out[1] = 0x01;  // fastest-level field, no dictionary; header is a multiple of 31
    BitWriter bw(out + 2);
    bw.put(1, 1);  // final block
    bw.put(2, 2);  // dynamic Huffman codes
    bw.put(uint32_t(hlit_ - 257), 5);
    bw.put(uint32_t(hdist_ - 1), 5);
    bw.put(uint32_t(hclen_ - 4), 4);
    for (int i = 0; i < hclen_; ++i) bw.put(clLen_[kCodeLenOrder[i]], 3);
    for (int i = 0; i < clItemCount_; ++i) {
        int s = clItems_[i] & 0xFF;
        bw.put(clCode_[s] | uint32_t(clItems_[i] >> 8) << clLen_[s], clLen_[s] + kCodeLenExtra[s]);
    }
    const uint32_t* sym = symbols_.get();
    for (size_t i = 0; i < symbolCount_; ++i) {
        uint32_t v = sym[i];
        if (v < 256) {
            bw.put(litCode_[v], litLen_[v]);
            continue;
        }
        uint32_t len = v >> 16, dist = v & 0xFFFF;
        int lc = kLengthCode[len];
        int ls = 257 + lc;
        bw.put(litCode_[ls] | (len - kLengthBase[lc]) << litLen_[ls], litLen_[ls] + kLengthExtra[lc]);
        int dc = kDistCode[dist];
        bw.put(distCode_[dc] | (dist - kDistBase[dc]) << distLen_[dc], distLen_[dc] + kDistExtra[dc]);
    }
    bw.put(litCode_[256], litLen_[256]);
    uint8_t* end = bw.finish();
    end[0] = uint8_t(adler_ >> 24);
    end[1] = uint8_t(adler_ >> 16);
    end[2] = uint8_t(adler_ >> 8);
    end[3] = uint8_t(adler_);
}
