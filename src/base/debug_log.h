#pragma once
// Diagnostic output. Lines are visible on the console only while the debug
// console is open; they also go to the debug log file when one is open
// (base/debug_log_file.h). Output goes to a file descriptor with one
// write() per message, so printing takes no lock and never blocks for long
// (the descriptor is non-blocking; a full pipe drops the line).
#include <atomic>

// Set while the debug console exists (the UI owns it); the producers run
// their diagnostic checks only while it is set.
extern std::atomic<bool> debugConsoleOpen;

// -1 discards the output.
void setDebugOutput(int fd);
int debugOutput();

// printf-style; the message should end in "\n".
void debugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
