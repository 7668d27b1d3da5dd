#pragma once
// The debug log file: every diagnostic line, with a timestamp, also goes to
// kestrel-capture.log in a folder the program names at start, so that a user
// has something to attach to a bug report. The file is kept under
// kDebugLogLimit bytes: when a line would pass it, the file becomes
// kestrel-capture.log.1 (replacing an older one) and a new file begins.
// A line repeating the one before is counted and noted once another line
// comes (or the log closes). Writers on any thread append with one write()
// per message and take no lock.
#include <cstddef>
#include <string>

constexpr size_t kDebugLogLimit = 1 << 20;

// Opens (appending) kestrel-capture.log in folder, which must exist; false
// when it cannot. Called at start-up, before the threads that print.
bool openDebugLogFile(const std::string& folder);
// Stops logging to the file (tests, shutdown).
void closeDebugLogFile();
// The folder of the open log file with a trailing '/', or "" when none is open.
std::string debugLogFolder();

// From debugPrintf: text[0, n) of one message, appended with timestamps at
// the start of each line.
void appendToDebugLog(const char* text, size_t n);
