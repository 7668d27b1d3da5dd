#include "record/png_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/checksums.h"
#include "record/deflate.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Branch-free so the filter loops can be vectorised.
inline int paeth(int a, int b, int c) {
    int p = a + b - c;
    int pa = std::abs(p - a);
    int pb = std::abs(p - b);
    int pc = std::abs(p - c);
    int bc = pb <= pc ? b : c;
    return (pa <= pb && pa <= pc) ? a : bc;
}

// Picks the row's filter: the smallest sum of the filtered red bytes (every
// third byte from the first), the lower filter number on equal sums. Left of
// the first pixel and above row 0 count as zeros.
int chooseFilter(const uint8_t* row, const uint8_t* up, size_t stride) {
    uint32_t sum[5];
    {
        int x = row[0], b = up[0];
        sum[0] = uint8_t(x);
        sum[1] = uint8_t(x);
        sum[2] = uint8_t(x - b);
        sum[3] = uint8_t(x - (b >> 1));
        sum[4] = uint8_t(x - b);  // Paeth of (0, b, 0) is b
    }
    for (size_t i = 3; i < stride; i += 3) {
        int x = row[i], a = row[i - 3], b = up[i], c = up[i - 3];
        sum[0] += uint8_t(x);
        sum[1] += uint8_t(x - a);
        sum[2] += uint8_t(x - b);
        sum[3] += uint8_t(x - ((a + b) >> 1));
        sum[4] += uint8_t(x - paeth(a, b, c));
    }
    int best = 0;
    for (int f = 1; f < 5; ++f)
        if (sum[f] < sum[best]) best = f;
    return best;
}

void filterRow(int filter, const uint8_t* row, const uint8_t* up, size_t stride, uint8_t* out) {
    // The first pixel has nothing to its left.
    const size_t first = stride < 3 ? stride : 3;
    switch (filter) {
    case 0:
        std::memcpy(out, row, stride);
        break;
    case 1:
        for (size_t i = 0; i < first; ++i) out[i] = row[i];
        for (size_t i = 3; i < stride; ++i) out[i] = uint8_t(row[i] - row[i - 3]);
        break;
    case 2:
        for (size_t i = 0; i < stride; ++i) out[i] = uint8_t(row[i] - up[i]);
        break;
    case 3:
        for (size_t i = 0; i < first; ++i) out[i] = uint8_t(row[i] - (up[i] >> 1));
        for (size_t i = 3; i < stride; ++i) out[i] = uint8_t(row[i] - ((row[i - 3] + up[i]) >> 1));
        break;
    default:
        for (size_t i = 0; i < first; ++i) out[i] = uint8_t(row[i] - up[i]);
        for (size_t i = 3; i < stride; ++i) out[i] = uint8_t(row[i] - paeth(row[i - 3], up[i], up[i - 3]));
        break;
    }
}

uint8_t* putU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
    return p + 4;
}

// Length and type go in front of data already in place; the CRC after it.
uint8_t* finishChunk(uint8_t* start, const char* type, uint32_t length) {
    putU32(start, length);
    std::memcpy(start + 4, type, 4);
    uint8_t* end = start + 8 + length;
    return putU32(end, crc32Update(0, start + 4, 4 + size_t(length)));
}

}  // namespace

unsigned encodePng(const uint8_t* rgb, unsigned width, unsigned height, PngFile& file) {
    file = PngFile{};
    if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) return kPngBadSize;
    const uint64_t stride = uint64_t(width) * 3;
    const uint64_t filteredBytes = (stride + 1) * height;
    if (filteredBytes > 0x7FFFFFFFu) return kPngBadSize;

    std::unique_ptr<uint8_t[]> filtered(new (std::nothrow) uint8_t[filteredBytes]);
    std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[stride]());
    if (!filtered || !zeros) return kPngOutOfMemory;
    for (unsigned y = 0; y < height; ++y) {
        const uint8_t* row = rgb + y * stride;
        const uint8_t* up = y ? row - stride : zeros.get();
        uint8_t* out = filtered.get() + y * (stride + 1);
        int filter = chooseFilter(row, up, stride);
        out[0] = uint8_t(filter);
        filterRow(filter, row, up, stride, out + 1);
    }
    zeros.reset();

    ZlibEncoder zlib;
    if (!zlib.encode(filtered.get(), filteredBytes)) return kPngOutOfMemory;
    filtered.reset();
    if (zlib.size() > 0x7FFFFFFFu) return kPngBadSize;

    const size_t size = sizeof kSignature + (12 + 13) + (12 + zlib.size()) + 12;
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
    if (!data) return kPngOutOfMemory;
    uint8_t* p = data.get();
    std::memcpy(p, kSignature, sizeof kSignature);
    p += sizeof kSignature;

    uint8_t* ihdr = p + 8;
    ihdr = putU32(ihdr, width);
    ihdr = putU32(ihdr, height);
    const uint8_t tail[5] = {8, 2, 0, 0, 0};  // depth, truecolour, deflate, adaptive filters, no interlace
    std::memcpy(ihdr, tail, 5);
    p = finishChunk(p, "IHDR", 13);

    zlib.write(p + 8);
    p = finishChunk(p, "IDAT", uint32_t(zlib.size()));
    p = finishChunk(p, "IEND", 0);

    file.data = std::move(data);
    file.size = size;
    return kPngOk;
}

unsigned savePng(const char* fileName, const uint8_t* rgb, unsigned width, unsigned height) {
    PngFile file;
    if (unsigned result = encodePng(rgb, width, height, file)) return result;
    int fd = ::open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return kPngOpenFailed;
    // One write in practice; the loop only covers a write the kernel cut short.
    size_t done = 0;
    bool ok = true;
    while (done < file.size) {
        ssize_t n = ::write(fd, file.data.get() + done, file.size - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            ok = false;
            break;
        }
    }
    if (::close(fd) != 0) ok = false;
    if (!ok) {
        // A truncated picture must not pass for a snapshot.
        std::remove(fileName);
        return kPngWriteFailed;
    }
    return kPngOk;
}
