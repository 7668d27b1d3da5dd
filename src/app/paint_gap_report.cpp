#include "app/paint_gap_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "display/qt/screen_window.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kReportedGapMs = 100;

// UI thread only: every screen window paints there.
Clock::time_point lastPaint{};
int64_t lastRunDelayNs = 0;
int64_t longestGapMs = 0;
int64_t longestGapWaitMs = 0;
int schedstat = -1;

// The calling thread's time spent runnable but not running, in ns; 0 where
// the kernel does not say.
int64_t runDelayNs() {
    if (schedstat < 0) schedstat = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    char text[96];
    const ssize_t n = schedstat < 0 ? -1 : ::pread(schedstat, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    text[n] = 0;
    int64_t running = 0, waiting = 0;
    return std::sscanf(text, "%" SCNd64 " %" SCNd64, &running, &waiting) == 2 ? waiting : 0;
}

// Wall-clock seconds, so that a driver can set gaps beside its own events.
double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void notePaint(FrameBuffer*) {
    const Clock::time_point now = Clock::now();
    const int64_t runDelay = runDelayNs();
    if (lastPaint != Clock::time_point{}) {
        const int64_t gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastPaint).count();
        const int64_t waited = (runDelay - lastRunDelayNs) / 1000000;
        if (gap >= kReportedGapMs)
            std::fprintf(stderr, "paint gap: %" PRId64 " ms, %" PRId64 " ms of it waiting for a CPU, ended at %.3f\n",
                         gap, waited, wallSeconds());
        if (gap - waited > longestGapMs - longestGapWaitMs) {
            longestGapMs = gap;
            longestGapWaitMs = waited;
        }
    }
    lastPaint = now;
    lastRunDelayNs = runDelay;
}

}  // namespace

void startPaintGapReport() { ScreenWindow::setFrameDrawnHook(notePaint); }

void printLongestPaintGap() {
    // The gap longest once its wait for a CPU is taken off.
    std::fprintf(stderr, "longest paint gap: %" PRId64 " ms, %" PRId64 " ms of it waiting for a CPU\n", longestGapMs,
                 longestGapWaitMs);
}
