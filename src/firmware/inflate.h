#pragma once
// zlib stream decompression (RFC 1950 wrapper around RFC 1951 deflate data),
// used for the firmware images carried in the application.
#include <cstddef>
#include <cstdint>

namespace firmware {

enum class InflateStatus {
    Ok,
    TooLarge,  // the output would not fit in the given capacity
    Invalid,   // bad header, bad deflate data, data ending early, check mismatch
};

struct InflateResult {
    InflateStatus status;
    size_t produced;  // bytes written to the output
};

// Decompresses one whole zlib stream into out[0, capacity). Stops as soon as
// the output would grow past capacity, so a hostile stream cannot make it use
// more memory than the caller gave. The stream must end exactly with its
// Adler-32 check value.
InflateResult zlibInflate(const uint8_t* in, size_t inSize, uint8_t* out, size_t capacity);

}  // namespace firmware
