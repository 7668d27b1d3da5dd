#include "support/debug_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include "base/debug_log.h"

DebugCapture::DebugCapture() : fd_(::memfd_create("debug", 0)), previous_(debugOutput()) {
    setDebugOutput(fd_);
}

DebugCapture::~DebugCapture() {
    setDebugOutput(previous_);
    ::close(fd_);
}

std::string DebugCapture::text() {
    std::string out;
    char buf[4096];
    off_t pos = 0;
    ssize_t n;
    while ((n = ::pread(fd_, buf, sizeof buf, pos)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        pos += n;
    }
    return out;
}

void DebugCapture::clear() {
    if (::ftruncate(fd_, 0) == 0) ::lseek(fd_, 0, SEEK_SET);
}
