#include "base/debug_log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

// Lines from threads racing a rotation may still land in either file; the
// margin keeps both under the limit all the same.
constexpr int64_t kRotateLimit = kDebugLogLimit - 16 * 1024;
constexpr size_t kMessageRoom = 4096;
constexpr size_t kStampRoom = 24;  // "2026-12-11 11:40:20.123 "

std::atomic<int> logFd{-1};
// Bytes in the current file, counted before they are written; a writer
// over the limit takes its count back, so the sum may dip below 0 for a moment.
std::atomic<int64_t> logSize{0};
std::atomic<bool> rotating{false};
// Written by openDebugLogFile before the descriptor is published, read after.
char logPath[4096];
char olderPath[4096 + 2];
size_t folderLength = 0;

thread_local bool atLineStart = true;

// Writes the stamp to out (room for kStampRoom bytes); returns its length.
size_t stamp(char* out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[64];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    const int more = std::snprintf(text + n, sizeof text - n, ".%03d ", static_cast<int>(now.tv_nsec / 1000000));
    const size_t length = std::min(n + static_cast<size_t>(std::max(more, 0)), kStampRoom);
    std::memcpy(out, text, length);
    return length;
}

int openFresh(int flags) { return ::open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | flags, 0600); }

// The current file becomes the older one and a new one takes its place
// under the same descriptor, so writers holding the number never see it
// closed or reused.
void rotate(int fd) {
    ::rename(logPath, olderPath);
    const int fresh = openFresh(O_TRUNC);
    if (fresh < 0) {
        logFd.store(-1);  // nowhere to go on: stop rather than grow the older file
        return;
    }
    ::dup2(fresh, fd);
    ::close(fresh);
    logSize.store(0);
}

// A descriptor that is no longer used for the log keeps its number, pointed
// at /dev/null, for any writer that loaded it a moment ago.
void retire(int fd) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, fd);
        ::close(null);
    }
}

}  // namespace

bool openDebugLogFile(const std::string& folder) {
    closeDebugLogFile();
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    const std::string name = path + "kestrel-capture.log";
    if (folder.empty() || name.size() + 3 > sizeof logPath) return false;
    std::memcpy(logPath, name.c_str(), name.size() + 1);
    std::snprintf(olderPath, sizeof olderPath, "%s.1", logPath);
    folderLength = path.size();

    const int fd = openFresh(0);
    if (fd < 0) return false;
    struct stat info {};
    logSize.store(::fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : 0);
    if (logSize.load() >= kRotateLimit) rotate(fd);
    logFd.store(fd, std::memory_order_release);
    return logFd.load() >= 0;
}

void closeDebugLogFile() {
    const int fd = logFd.exchange(-1);
    if (fd >= 0) retire(fd);
    folderLength = 0;
}

std::string debugLogFolder() {
    return logFd.load(std::memory_order_acquire) >= 0 ? std::string(logPath, folderLength) : std::string();
}

void appendToDebugLog(const char* text, size_t n) {
    const int fd = logFd.load(std::memory_order_acquire);
    if (fd < 0 || n == 0) return;
    char out[kMessageRoom];
    size_t used = 0;
    for (size_t i = 0; i < n && used < sizeof out; ++i) {
        if (atLineStart) {
            if (used + kStampRoom + 1 > sizeof out) break;
            used += stamp(out + used);
            atLineStart = false;
        }
        out[used++] = text[i];
        if (text[i] == '\n') atLineStart = true;
    }

    const auto bytes = static_cast<int64_t>(used);
    while (logSize.fetch_add(bytes) + bytes > kRotateLimit) {
        // Over the limit: one writer rotates, the others wait the moment it
        // takes rather than add to the file on its way out.
        logSize.fetch_sub(bytes);
        bool expected = false;
        if (rotating.compare_exchange_strong(expected, true)) {
            rotate(fd);
            rotating.store(false);
        } else {
            while (rotating.load()) std::this_thread::yield();
        }
        if (logFd.load() < 0) return;
    }
    // Appends to a local file go to the page cache: no wait worth a thread.
    ssize_t ignored = ::write(fd, out, used);
    (void)ignored;
}
