#include "core/monitor.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <system_error>
#include <thread>

#include "core/audio_path.h"
#include "base/debug_log.h"
#include "core/link_stats.h"

const int32_t testPointTable[24] = {
    184, 178, 172, 166, 183, 177, 171, 165,  // red 0-7
    186, 180, 174, 168, 185, 179, 173, 167,  // green 0-7
    188, 182, 176, 170, 187, 181, 175, 169,  // blue 0-7
};

namespace {

// UI thread only: set once the thread exists, for the rest of the process.
bool monitorStarted = false;

class Writer {
public:
    Writer(char* out, unsigned capacity) : out_(out), capacity_(capacity) {
        if (capacity_) out_[0] = '\0';
    }

    __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
        if (used_ + 1 >= capacity_) return;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(out_ + used_, capacity_ - used_, format, args);
        va_end(args);
        if (n > 0) used_ = std::min<unsigned>(used_ + static_cast<unsigned>(n), capacity_ - 1);
    }

    unsigned length() const { return used_; }

private:
    char* out_;
    unsigned capacity_;
    unsigned used_ = 0;
};

void addMaskLine(Writer& w, uint32_t mask, const char* what) {
    if (mask == 0) return;
    for (int bit = 0; bit < 24; ++bit)
        if (mask & (1u << bit)) w.add("TP%d ", testPointTable[bit]);
    w.add("(0x%06X) %s\n", mask, what);
}

void monitorThread() {
    char report[1024];
    for (;;) {
        // Taking the count and zeroing it in one step loses no paint.
        const int32_t paints = linkStats.paintCounter.exchange(0, std::memory_order_relaxed);
        if (formatMonitorReport(paints, audioLatencyMs(), report, sizeof report))
            debugPrintf("%s", report);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
}

}  // namespace

unsigned formatMonitorReport(int32_t paints, int32_t audioLatency, char* out, unsigned capacity) {
    const auto relaxed = std::memory_order_relaxed;
    Writer w(out, capacity);
    w.add("paints/s=%d, SKIPS=%d ERRORS=%d rdyQ=%d audioPos=%d audioLatency=%d\n", paints,
          linkStats.skips.load(relaxed), linkStats.errors.load(relaxed), linkStats.rdyQ.load(relaxed),
          linkStats.audioPos.load(relaxed), audioLatency);
    addMaskLine(w, linkStats.stuckOnMask.load(relaxed), "stuck on");
    addMaskLine(w, linkStats.stuckOffMask.load(relaxed), "stuck off");
    if (linkStats.audioBytesSeen.load(relaxed) == 0)
        w.add("TP139 TP140 (audio data lost)\n");
    else if (linkStats.audioAllOnes.load(relaxed) || linkStats.audioAllZero.load(relaxed))
        w.add("TP138 (audio data stuck)\n");
    return w.length();
}

void startMonitor() {
    if (monitorStarted) return;
    linkStats.clear();
    try {
        std::thread thread(monitorThread);
        pthread_setname_np(thread.native_handle(), "diagnostics");
        thread.detach();
    } catch (const std::system_error&) {
        return;  // diagnostics stay off until the console opens again
    }
    monitorStarted = true;
}
