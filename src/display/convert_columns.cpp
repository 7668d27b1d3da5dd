#include "display/convert_columns.h"

#include "display/frame_pixels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KC_HAVE_SSSE3_KERNEL 1
#endif

namespace {
// Columns are converted in strips this wide: each column is read front to
// back while the strip's output (one cache line per image row) stays in L1.
constexpr int kStrip = 16;
}  // namespace

void convertColumnsPortable(const uint8_t* frame, int column, int columns, int firstRow, int rows, uint32_t* out,
                            int stride) {
    for (int strip = 0; strip < columns; strip += kStrip) {
        const int width = columns - strip < kStrip ? columns - strip : kStrip;
        for (int i = 0; i < width; ++i) {
            // Rows go down the screen as the column's bytes go backwards.
            const uint8_t* src = frame + framePixelOffset(column + strip + i, firstRow);
            uint32_t* dst = out + strip + i;
            for (int r = 0; r < rows; ++r) dst[r * stride] = framePixel(src - 3 * r);
        }
    }
}

#ifdef KC_HAVE_SSSE3_KERNEL
namespace {

// One column's 4 pixels of a block, as image pixels in row order.
__attribute__((target("ssse3"), always_inline)) inline __m128i loadColumn(const uint8_t* src, __m128i toRows) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), toRows);
}

// Blocks of 4 columns x 4 rows: one load per column brings its 4 pixels
// (12 bytes, lowest screen row first), a shuffle turns them into 4 image
// pixels in row order, and a 4x4 transpose turns columns into rows.
__attribute__((target("ssse3"))) void convertColumnsSsse3(const uint8_t* frame, int column, int columns,
                                                          int firstRow, int rows, uint32_t* out, int stride) {
    const __m128i toRows = _mm_setr_epi8(11, 10, 9, -128, 8, 7, 6, -128, 5, 4, 3, -128, 2, 1, 0, -128);
    for (int strip = 0; strip < columns; strip += kStrip) {
        const int width = columns - strip < kStrip ? columns - strip : kStrip;
        for (int r = 0; r < rows; r += 4) {
            uint32_t* dst = out + r * stride + strip;
            // The lowest address holds the block's last screen row.
            const uint8_t* src = frame + framePixelOffset(column + strip, firstRow + r + 3);
            for (int i = 0; i < width; i += 4, src += 4 * kColumnBytes, dst += 4) {
                const __m128i a0 = loadColumn(src, toRows);
                const __m128i a1 = loadColumn(src + kColumnBytes, toRows);
                const __m128i a2 = loadColumn(src + 2 * kColumnBytes, toRows);
                const __m128i a3 = loadColumn(src + 3 * kColumnBytes, toRows);
                const __m128i t0 = _mm_unpacklo_epi32(a0, a1);
                const __m128i t1 = _mm_unpacklo_epi32(a2, a3);
                const __m128i t2 = _mm_unpackhi_epi32(a0, a1);
                const __m128i t3 = _mm_unpackhi_epi32(a2, a3);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi64(t0, t1));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + stride), _mm_unpackhi_epi64(t0, t1));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * stride), _mm_unpacklo_epi64(t2, t3));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * stride), _mm_unpackhi_epi64(t2, t3));
            }
        }
    }
}

}  // namespace
#endif

ConvertColumnsKernel convertColumnsVectorKernel() {
#ifdef KC_HAVE_SSSE3_KERNEL
    if (__builtin_cpu_supports("ssse3")) return convertColumnsSsse3;
#endif
    return nullptr;
}

void convertColumns(const uint8_t* frame, int column, int columns, int firstRow, int rows, uint32_t* out,
                    int stride) {
    static const ConvertColumnsKernel kernel = [] {
        const ConvertColumnsKernel vector = convertColumnsVectorKernel();
        return vector ? vector : convertColumnsPortable;
    }();
    kernel(frame, column, columns, firstRow, rows, out, stride);
}
