#include "base/checksums.h"

#include <array>

namespace {

// Eight tables so the loop consumes eight bytes per step; table 0 alone is
// the classic byte-at-a-time table.
constexpr std::array<std::array<uint32_t, 256>, 8> makeCrcTables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (int t = 1; t < 8; ++t)
            tables[t][n] = (tables[t - 1][n] >> 8) ^ tables[0][tables[t - 1][n] & 0xFF];
    return tables;
}

constexpr auto kCrcTables = makeCrcTables();

}  // namespace

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t size) {
    const auto& t = kCrcTables;
    uint32_t c = ~crc;
    while (size >= 8) {
        uint32_t lo = c ^ (uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                           uint32_t(data[3]) << 24);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        size -= 8;
    }
    while (size--) c = t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t adler32Update(uint32_t adler, const uint8_t* data, size_t size) {
    constexpr uint32_t kBase = 65521;
    // The largest run whose sums cannot overflow 32 bits before the modulo.
    constexpr size_t kRun = 5552;
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
    while (size > 0) {
        size_t n = size < kRun ? size : kRun;
        size -= n;
        for (; n >= 4; n -= 4, data += 4) {
            a += data[0]; b += a;
            a += data[1]; b += a;
            a += data[2]; b += a;
            a += data[3]; b += a;
        }
        while (n--) { a += *data++; b += a; }
        a %= kBase;
        b %= kBase;
    }
    return b << 16 | a;
}
