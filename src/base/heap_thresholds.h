#pragma once
// How the C library's allocator treats the large blocks of a recording or a
// snapshot (pictures, encoder planes and packets, a snapshot's pixels, a few
// hundred KiB each). By default the first of them to be freed raises the
// size from which blocks get pages of their own to that block's size, so
// from then on every one of them is cut out of the arenas' heaps between the
// small blocks that live on, and the heaps keep what they freed in pieces:
// each recording would leave the process a little larger. Called once at
// start, before any thread: the size stays where it is, and a large block's
// pages go back to the system as soon as it is freed.
void setHeapThresholds();
