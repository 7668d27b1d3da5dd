#pragma once
// The diagnostics monitor: once a second, the link statistics and the test
// points whose signals look broken, on the debug output.
#include <cstdint>

extern const int32_t testPointTable[24];

// Called each time the debug console opens; starts the thread only once.
void startMonitor();
// One report's text, as the thread prints it (audioLatency -1 without an engine).
void formatMonitorReport(int32_t audioLatency, char* out, unsigned capacity);
