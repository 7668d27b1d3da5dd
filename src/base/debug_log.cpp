#include "base/debug_log.h"

#include "base/debug_log_file.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

std::atomic<bool> debugConsoleOpen{false};

namespace {
std::atomic<int> outputFd{-1};
}

void setDebugOutput(int fd) { outputFd.store(fd); }
int debugOutput() { return outputFd.load(); }

void debugPrintf(const char* format, ...) {
    const int fd = outputFd.load(std::memory_order_relaxed);
    char line[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n <= 0) return;
    if (n >= static_cast<int>(sizeof line)) n = sizeof line - 1;
    appendToDebugLog(line, static_cast<size_t>(n));
    if (fd < 0) return;
    // One write per message keeps lines from different threads whole.
    ssize_t ignored = ::write(fd, line, static_cast<size_t>(n));
    (void)ignored;
}
