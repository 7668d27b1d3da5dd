#include "base/heap_thresholds.h"

#include <malloc.h>

namespace {
// The library's own starting value, held there.
constexpr int kOwnPagesFrom = 128 * 1024;
}  // namespace

void setHeapThresholds() { mallopt(M_MMAP_THRESHOLD, kOwnPagesFrom); }
