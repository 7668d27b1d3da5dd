#pragma once
// The demo is what the long soak runs, so it also says on stderr when the
// picture stood still: each gap of 100 ms or more between painted frames as
// it ends, with the part of it the UI thread spent waiting for a CPU (a busy
// machine, not the program), and the longest one at exit.

// Before the windows open.
void startPaintGapReport();
// After the application ended.
void printLongestPaintGap();
