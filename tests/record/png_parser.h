#pragma once
// Independent readers for what the PNG writer produces: a chunk parser, a
// deflate block walker of our own, and the zlib and libpng decoders.
#include <cstdint>
#include <string>
#include <vector>

namespace pngtest {

struct Chunk {
    std::string type;
    std::vector<uint8_t> data;
    bool crcOk = false;
};

// False when the signature or a chunk's framing is broken.
bool parseChunks(const std::vector<uint8_t>& file, std::vector<Chunk>& chunks);

// zlib's inflate over a whole zlib stream; false on any error.
bool inflateWithZlib(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out);
// libpng reading the file as 8-bit RGB.
bool readWithLibpng(const std::string& path, unsigned& width, unsigned& height, std::vector<uint8_t>& rgb);

// One literal (length 0) or match.
struct Token {
    int length = 0;
    int distance = 0;
    uint8_t literal = 0;
    bool operator==(const Token&) const = default;
};

// What our own walk of a zlib stream found.
struct StreamWalk {
    std::string error;  // empty when the stream decoded cleanly
    int header0 = -1, header1 = -1;
    int blocks = 0;
    bool lastFinal = false;
    std::vector<int> blockTypes;
    int maxLitLenBits = 0, maxDistBits = 0, maxCodeLenBits = 0;
    int distCodesWithLength = 0;  // distance codes given a length
    int maxDistance = 0;
    bool adlerOk = false;
    std::vector<uint32_t> litLenCount = std::vector<uint32_t>(286);
    std::vector<uint32_t> distCount = std::vector<uint32_t>(30);
    std::vector<Token> tokens;
    std::vector<uint8_t> out;
};
StreamWalk walkZlib(const std::vector<uint8_t>& stream);

// Reverses the PNG scanline filters (3 bytes a pixel).
bool unfilter(const std::vector<uint8_t>& data, unsigned width, unsigned height, std::vector<uint8_t>& rgb);

// The row filter the writer must pick, recomputed from the pixels.
int expectedFilter(const uint8_t* row, const uint8_t* up, unsigned width);

// Greedy longest/nearest parse by brute force over a 2048-byte window.
std::vector<Token> referenceParse(const std::vector<uint8_t>& data);

// Deepest code unlimited Huffman coding would give these counts.
int unlimitedHuffmanDepth(const std::vector<uint32_t>& counts);

}  // namespace pngtest
