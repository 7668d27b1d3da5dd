#pragma once
// Gives the allocator's free pages back to the system. A recording's
// encoder and muxer buffers and its threads' heaps are freed when it stops,
// but the C library keeps the freed pages resident in its arenas (only the
// top of each heap is ever returned on its own), so each recording would
// leave the process a little larger. Called once per finished recording.
void releaseFreedHeap();
