#include "firmware/inflate.h"

#include <bit>
#include <cstring>
#include <memory>

#include "base/checksums.h"

namespace firmware {
namespace {

static_assert(std::endian::native == std::endian::little, "the bit reader loads words little-endian");

constexpr int kMaxCodeBits = 15;

// A decoding table indexed by the next `bits` input bits (deflate packs codes
// least significant bit first, so the table is indexed by the reversed code).
// Each entry is symbol << 4 | code length; 0 marks a bit pattern that starts
// no code of the set.
struct Huffman {
    uint16_t table[1 << kMaxCodeBits];
    int bits = 0;
};

enum class CodeKind { CodeLengths, LitLenOrDist };

// Builds the canonical code of the given lengths. Over-subscribed sets are
// refused; incomplete sets only where deflate allows them (a lone code of
// length 1 for literals/lengths and distances, or no code at all, which makes
// every lookup fail).
bool buildHuffman(Huffman& h, const uint8_t* lengths, int n, CodeKind kind) {
    int count[kMaxCodeBits + 1] = {};
    for (int i = 0; i < n; ++i) ++count[lengths[i]];
    int maxLen = 0;
    for (int len = 1; len <= kMaxCodeBits; ++len)
        if (count[len]) maxLen = len;
    if (maxLen == 0) {
        h.bits = 1;
        h.table[0] = h.table[1] = 0;
        return true;
    }
    int left = 1;
    for (int len = 1; len <= kMaxCodeBits; ++len) {
        left = (left << 1) - count[len];
        if (left < 0) return false;
    }
    if (left > 0 && (kind == CodeKind::CodeLengths || maxLen != 1)) return false;

    h.bits = maxLen;
    std::memset(h.table, 0, sizeof(uint16_t) << maxLen);
    int nextCode[kMaxCodeBits + 1] = {};
    count[0] = 0;
    for (int len = 1, code = 0; len <= kMaxCodeBits; ++len) {
        code = (code + count[len - 1]) << 1;
        nextCode[len] = code;
    }
    for (int sym = 0; sym < n; ++sym) {
        int len = lengths[sym];
        if (!len) continue;
        uint32_t code = static_cast<uint32_t>(nextCode[len]++);
        uint32_t reversed = 0;
        for (int i = 0; i < len; ++i) reversed |= ((code >> i) & 1u) << (len - 1 - i);
        uint16_t entry = static_cast<uint16_t>(sym << 4 | len);
        for (uint32_t index = reversed; index < (1u << maxLen); index += 1u << len) h.table[index] = entry;
    }
    return true;
}

// LSB-first bit reader over the input. Past the end it feeds zero bytes and
// counts them, so that consuming any of them can be detected as data that
// ended early.
class BitReader {
public:
    BitReader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

    void refill() {
        if (end_ - p_ >= 8) {
            uint64_t word;
            std::memcpy(&word, p_, 8);
            buf_ |= word << count_;
            p_ += (63 - count_) >> 3;
            count_ |= 56;
            return;
        }
        while (count_ <= 56) {
            uint64_t byte = 0;
            if (p_ < end_) byte = *p_++;
            else ++padding_;
            buf_ |= byte << count_;
            count_ += 8;
        }
    }

    // Up to 32 bits.
    uint32_t take(int n) {
        if (count_ < n) refill();
        uint32_t value = static_cast<uint32_t>(buf_ & ((uint64_t{1} << n) - 1));
        buf_ >>= n;
        count_ -= n;
        return value;
    }

    int decode(const Huffman& h) {
        if (count_ < kMaxCodeBits) refill();
        uint32_t entry = h.table[buf_ & ((1u << h.bits) - 1)];
        int len = static_cast<int>(entry & 15);
        if (len == 0) return -1;
        buf_ >>= len;
        count_ -= len;
        return static_cast<int>(entry >> 4);
    }

    // False once bits beyond the end of the input were consumed.
    bool inBounds() const { return count_ >= padding_ * 8; }

    // Drops the bits up to the next byte boundary and hands the buffered
    // whole bytes back to the input, so byte-wise reading can go on from p().
    bool alignToByte() {
        buf_ >>= count_ & 7;
        count_ &= ~7;
        if (!inBounds()) return false;
        p_ -= count_ / 8 - padding_;
        buf_ = 0;
        count_ = 0;
        padding_ = 0;
        return true;
    }

    const uint8_t* p() const { return p_; }
    void advance(size_t n) { p_ += n; }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    uint64_t buf_ = 0;
    int count_ = 0;
    int padding_ = 0;
};

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Tables {
    Huffman litLen;
    Huffman dist;
    Huffman codeLengths;
};

class Inflater {
public:
    Inflater(const uint8_t* in, size_t inSize, uint8_t* out, size_t capacity)
        : bits_(in, in + inSize), out_(out), capacity_(capacity) {}

    InflateStatus run();
    size_t produced() const { return produced_; }

private:
    InflateStatus stored();
    InflateStatus fixed();
    InflateStatus dynamic();
    InflateStatus codes(const Huffman& litLen, const Huffman& dist);

    BitReader bits_;
    uint8_t* out_;
    size_t capacity_;
    size_t produced_ = 0;
    std::unique_ptr<Tables> tables_ = std::make_unique<Tables>();
};

InflateStatus Inflater::run() {
    for (;;) {
        uint32_t final = bits_.take(1);
        uint32_t type = bits_.take(2);
        if (!bits_.inBounds()) return InflateStatus::Invalid;
        InflateStatus status;
        switch (type) {
            case 0: status = stored(); break;
            case 1: status = fixed(); break;
            case 2: status = dynamic(); break;
            default: return InflateStatus::Invalid;
        }
        if (status != InflateStatus::Ok) return status;
        if (final) break;
    }
    // The Adler-32 of the output follows, most significant byte first, and
    // ends the stream.
    if (!bits_.alignToByte() || bits_.remaining() != 4) return InflateStatus::Invalid;
    const uint8_t* p = bits_.p();
    uint32_t expected = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    return adler32Update(1, out_, produced_) == expected ? InflateStatus::Ok : InflateStatus::Invalid;
}

InflateStatus Inflater::stored() {
    if (!bits_.alignToByte() || bits_.remaining() < 4) return InflateStatus::Invalid;
    const uint8_t* p = bits_.p();
    uint32_t len = p[0] | p[1] << 8;
    uint32_t nlen = p[2] | p[3] << 8;
    bits_.advance(4);
    if (len != (~nlen & 0xFFFF)) return InflateStatus::Invalid;
    if (bits_.remaining() < len) return InflateStatus::Invalid;
    if (capacity_ - produced_ < len) return InflateStatus::TooLarge;
    std::memcpy(out_ + produced_, bits_.p(), len);
    bits_.advance(len);
    produced_ += len;
    return InflateStatus::Ok;
}

InflateStatus Inflater::fixed() {
    uint8_t lengths[288 + 32];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    std::memset(lengths + 288, 5, 32);
    buildHuffman(tables_->litLen, lengths, 288, CodeKind::LitLenOrDist);
    buildHuffman(tables_->dist, lengths + 288, 32, CodeKind::LitLenOrDist);
    return codes(tables_->litLen, tables_->dist);
}

InflateStatus Inflater::dynamic() {
    int nlen = static_cast<int>(bits_.take(5)) + 257;
    int ndist = static_cast<int>(bits_.take(5)) + 1;
    int ncode = static_cast<int>(bits_.take(4)) + 4;
    if (nlen > 286 || ndist > 30) return InflateStatus::Invalid;

    uint8_t lengths[286 + 30] = {};
    uint8_t codeLengths[19] = {};
    for (int i = 0; i < ncode; ++i) codeLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(bits_.take(3));
    if (!bits_.inBounds()) return InflateStatus::Invalid;
    if (!buildHuffman(tables_->codeLengths, codeLengths, 19, CodeKind::CodeLengths)) return InflateStatus::Invalid;

    for (int index = 0; index < nlen + ndist;) {
        int sym = bits_.decode(tables_->codeLengths);
        if (sym < 0 || !bits_.inBounds()) return InflateStatus::Invalid;
        if (sym < 16) {
            lengths[index++] = static_cast<uint8_t>(sym);
            continue;
        }
        uint8_t value = 0;
        int repeat;
        if (sym == 16) {
            if (index == 0) return InflateStatus::Invalid;
            value = lengths[index - 1];
            repeat = 3 + static_cast<int>(bits_.take(2));
        } else if (sym == 17) {
            repeat = 3 + static_cast<int>(bits_.take(3));
        } else {
            repeat = 11 + static_cast<int>(bits_.take(7));
        }
        if (!bits_.inBounds() || index + repeat > nlen + ndist) return InflateStatus::Invalid;
        while (repeat--) lengths[index++] = value;
    }
    if (lengths[256] == 0) return InflateStatus::Invalid;  // no end-of-block code
    if (!buildHuffman(tables_->litLen, lengths, nlen, CodeKind::LitLenOrDist) ||
        !buildHuffman(tables_->dist, lengths + nlen, ndist, CodeKind::LitLenOrDist))
        return InflateStatus::Invalid;
    return codes(tables_->litLen, tables_->dist);
}

InflateStatus Inflater::codes(const Huffman& litLen, const Huffman& dist) {
    for (;;) {
        int sym = bits_.decode(litLen);
        if (sym < 0 || !bits_.inBounds()) return InflateStatus::Invalid;
        if (sym < 256) {
            if (produced_ == capacity_) return InflateStatus::TooLarge;
            out_[produced_++] = static_cast<uint8_t>(sym);
            continue;
        }
        if (sym == 256) return InflateStatus::Ok;
        sym -= 257;
        if (sym >= 29) return InflateStatus::Invalid;
        size_t len = kLengthBase[sym] + bits_.take(kLengthExtra[sym]);
        int dsym = bits_.decode(dist);
        if (dsym < 0 || dsym >= 30) return InflateStatus::Invalid;
        size_t distance = kDistBase[dsym] + bits_.take(kDistExtra[dsym]);
        if (!bits_.inBounds() || distance > produced_) return InflateStatus::Invalid;
        if (capacity_ - produced_ < len) return InflateStatus::TooLarge;
        uint8_t* to = out_ + produced_;
        const uint8_t* from = to - distance;
        if (distance >= len) {
            std::memcpy(to, from, len);
        } else {
            for (size_t i = 0; i < len; ++i) to[i] = from[i];
        }
        produced_ += len;
    }
}

}  // namespace

InflateResult zlibInflate(const uint8_t* in, size_t inSize, uint8_t* out, size_t capacity) {
    if (inSize < 2) return {InflateStatus::Invalid, 0};
    uint32_t cmf = in[0];
    uint32_t flg = in[1];
    if ((cmf << 8 | flg) % 31 != 0) return {InflateStatus::Invalid, 0};
    if ((cmf & 15) != 8 || (cmf >> 4) > 7) return {InflateStatus::Invalid, 0};
    if (flg & 0x20) return {InflateStatus::Invalid, 0};  // preset dictionary

    Inflater inflater(in + 2, inSize - 2, out, capacity);
    InflateStatus status = inflater.run();
    return {status, inflater.produced()};
}

}  // namespace firmware
