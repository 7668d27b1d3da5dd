// libFuzzer harness for the image decompression, checked against zlib: what
// one decoder accepts the other must accept with the same output, and the
// decoder must never write past the capacity it is given.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firmware/inflate.h"

namespace {
constexpr size_t kCapacity = 1 << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> ours(kCapacity);
    static std::vector<uint8_t> theirs(kCapacity);

    const firmware::InflateResult result = firmware::zlibInflate(data, size, ours.data(), kCapacity);
    if (result.produced > kCapacity) std::abort();

    uLongf theirSize = kCapacity;
    uLong consumed = size;
    const int rc = uncompress2(theirs.data(), &theirSize, data, &consumed);
    const bool zlibAccepts = rc == Z_OK && consumed == size;

    if (result.status == firmware::InflateStatus::Ok) {
        if (!zlibAccepts || theirSize != result.produced) std::abort();
        if (std::memcmp(ours.data(), theirs.data(), result.produced) != 0) std::abort();
    } else if (zlibAccepts) {
        std::abort();
    }
    return 0;
}
