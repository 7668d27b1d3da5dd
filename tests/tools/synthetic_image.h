#pragma once
// Synthetic firmware images in the carried format, for the tests, the
// benchmark and the demo board. They are not FPGA configurations: a sync
// header, the identity word of the device type at bytes 40-43, a body of
// pseudo-random words (mostly zero, as bitstreams are), then the 16-byte
// trailer "#xx#", 01 01 00 00, device type (u32 LE), check value (CRC-32 of
// what precedes it, u32 LE).
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace synthetic {

constexpr size_t kBitstreamSize = 462053;
constexpr size_t kImageSize = kBitstreamSize + 16;

inline void identityWord(uint8_t deviceType, uint8_t word[4]) {
    const bool x10 = deviceType == 3 || deviceType == 6;
    word[0] = 0x04;
    word[1] = 0x00;
    word[2] = x10 ? 0x10 : 0x00;
    word[3] = 0x93;
}

inline std::vector<uint8_t> image(uint8_t deviceType, size_t bitstreamSize = kBitstreamSize,
                                  uint32_t seed = 0x9E3779B9u) {
    std::vector<uint8_t> out(bitstreamSize + 16, 0);
    std::memset(out.data(), 0xFF, std::min<size_t>(16, bitstreamSize));
    const uint8_t sync[4] = {0xAA, 0x99, 0x55, 0x66};
    for (size_t i = 0; i < 4 && 16 + i < bitstreamSize; ++i) out[16 + i] = sync[i];
    uint32_t x = seed ^ deviceType;
    for (size_t i = 20; i < bitstreamSize; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = (x & 0x700) ? 0x00 : static_cast<uint8_t>(x);
    }
    if (bitstreamSize >= 44) identityWord(deviceType, &out[40]);
    uint8_t* t = out.data() + bitstreamSize;
    const uint8_t head[8] = {'#', 'x', 'x', '#', 0x01, 0x01, 0x00, 0x00};
    std::memcpy(t, head, 8);
    t[8] = deviceType;
    const uint32_t check = static_cast<uint32_t>(crc32(0, out.data(), static_cast<uInt>(bitstreamSize)));
    for (int i = 0; i < 4; ++i) t[12 + i] = static_cast<uint8_t>(check >> (8 * i));
    return out;
}

// A zlib stream of the data with the given level and strategy.
inline std::vector<uint8_t> compress(const std::vector<uint8_t>& raw, int level = 1,
                                     int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy) != Z_OK) throw std::runtime_error("deflateInit2");
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(raw.size())));
    z.next_in = const_cast<Bytef*>(raw.data());
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    return out;
}

}  // namespace synthetic
