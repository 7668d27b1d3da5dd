#pragma once
// The diagnostics monitor: once a second, the link statistics and the test
// points whose signals look broken, on the debug output.
#include <cstdint>

// The board's test point for each colour bit (0-7 red, 8-15 green, 16-23 blue).
extern const int32_t testPointTable[24];

// Called each time the debug console opens; starts the thread only once.
void startMonitor();
// One report's text from linkStats, as the thread prints it: paints is the
// paint count of the last second, audioLatency the sound's measured latency
// in ms (audioLatencyMs), -1 without an output.
// Returns the text's length (cut to capacity - 1).
unsigned formatMonitorReport(int32_t paints, int32_t audioLatency, char* out, unsigned capacity);
