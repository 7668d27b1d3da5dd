#include "base/debug_log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
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

// The last whole-line message written (its hash; 0 for none) and how many
// times it came again since. Shared by all writers without a lock: two
// threads racing may miscount a repeat, never lose a different line.
std::atomic<uint64_t> lastHash{0};
std::atomic<uint32_t> repeats{0};

uint64_t textHash(const char* text, size_t n) {
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(text[i])) * 1099511628211ull;
    return h | 1;
}

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

// "(the line before repeated N more times)", stamped, when there were
// repeats since the last line written; its length (0 for none).
size_t repeatNote(char* out, size_t room) {
    const uint32_t repeated = repeats.exchange(0, std::memory_order_relaxed);
    if (repeated == 0) return 0;
    size_t used = stamp(out);
    const int more = std::snprintf(out + used, room - used, "(the line before repeated %u more time%s)\n", repeated,
                                   repeated == 1 ? "" : "s");
    return more > 0 ? std::min(used + static_cast<size_t>(more), room - 1) : 0;
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
    lastHash.store(0);
    const int fd = logFd.exchange(-1);
    if (fd >= 0) {
        char note[128];
        if (const size_t n = repeatNote(note, sizeof note)) {
            ssize_t ignored = ::write(fd, note, n);
            (void)ignored;
        }
    }
    if (fd >= 0) retire(fd);
    folderLength = 0;
}

std::string debugLogFolder() {
    return logFd.load(std::memory_order_acquire) >= 0 ? std::string(logPath, folderLength) : std::string();
}

void appendToDebugLog(const char* text, size_t n) {
    const int fd = logFd.load(std::memory_order_acquire);
    if (fd < 0 || n == 0) return;
    // A line that repeats the one before (a board that is absent reports an
    // error four times a second) is counted, not written, so that hours of
    // it do not push the start of the story out of the file.
    const bool wholeLines = atLineStart && text[n - 1] == '\n';
    const uint64_t hash = wholeLines ? textHash(text, n) : 0;
    if (wholeLines && lastHash.load(std::memory_order_relaxed) == hash) {
        repeats.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    lastHash.store(hash, std::memory_order_relaxed);
    char out[kMessageRoom];
    size_t used = 0;
    if (atLineStart) used = repeatNote(out, sizeof out);
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
