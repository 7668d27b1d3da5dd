#pragma once
// The zlib stream of a snapshot: header 78 01, one final deflate block with
// dynamic Huffman codes over the whole input, then the Adler-32.
//
// LZ77 over a 2048-byte window, greedy: at each position the longest match
// (3..258 bytes) wins, the nearest of equally long ones, and every position
// a match covers is indexed too.
#include <cstddef>
#include <cstdint>
#include <memory>

class ZlibEncoder {
public:
    static constexpr int kWindow = 2048;
    static constexpr int kMaxMatch = 258;
    static constexpr int kMinMatch = 3;

    ZlibEncoder() = default;
    ZlibEncoder(const ZlibEncoder&) = delete;
    ZlibEncoder& operator=(const ZlibEncoder&) = delete;

    // Parses the input and plans the block. False when memory runs out or
    // the input is too large to index. The input need not outlive the call.
    bool encode(const uint8_t* data, size_t size);
    // Exact length of the zlib stream planned by encode().
    size_t size() const { return streamBytes_; }
    // Writes exactly size() bytes.
    void write(uint8_t* out) const;

private:
    static constexpr int kLitLenCodes = 286;
    static constexpr int kDistCodes = 30;
    static constexpr int kCodeLenCodes = 19;

    void planBlock();

    // One entry per literal (< 256) or match ((length << 16) | distance).
    std::unique_ptr<uint32_t[]> symbols_;
    size_t symbolCount_ = 0;
    uint32_t adler_ = 1;

    uint32_t litFreq_[kLitLenCodes] = {};
    uint32_t distFreq_[kDistCodes] = {};
    uint8_t litLen_[kLitLenCodes] = {};
    uint8_t distLen_[kDistCodes] = {};
    uint16_t litCode_[kLitLenCodes] = {};  // bit-reversed, ready to write LSB first
    uint16_t distCode_[kDistCodes] = {};
    uint8_t clLen_[kCodeLenCodes] = {};
    uint16_t clCode_[kCodeLenCodes] = {};
    // Run-length coded code lengths: symbol 0..18 in the low byte, extra bits above.
    uint16_t clItems_[kLitLenCodes + kDistCodes] = {};
    int clItemCount_ = 0;
    int hlit_ = 257;
    int hdist_ = 1;
    int hclen_ = 4;
    uint64_t blockBits_ = 0;
    size_t streamBytes_ = 0;
};

// Length-limited Huffman code lengths (optimal under the limit). Every used
// symbol (freq > 0) gets a length in 1..maxBits; unused ones get 0. With two
// or more used symbols the code is complete.
void buildCodeLengths(const uint32_t* freqs, int count, int maxBits, uint8_t* lengths);
