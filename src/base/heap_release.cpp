#include "base/heap_release.h"

#include <malloc.h>

void releaseFreedHeap() {
    // Every arena, every whole free page, not just the top of the main heap.
    malloc_trim(0);
}
