// The demo end to end on the simulated board, paced at the board's 59.83
// frames per second: latency from the reader thread handing a frame over to
// the screen window having drawn and swapped it, the process's CPU load at
// steady state, and its resident memory after a minute. Needs a display
// (run under xvfb-run when there is none).
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/link_stats.h"
#include "display/qt/screen_window.h"
#include "app/kestrel_app.h"
#include "usb/sim/sim_board.h"

namespace {

constexpr int kLatencyFrames = 1000;

struct Run {
    usb::SimBoard board;
    KestrelApp app;
    Run() { app.start(board, false); }
};

// Filled by the screen window's hook on the UI thread.
QEventLoop* activeLoop = nullptr;
KestrelApp* sampledApp = nullptr;
std::vector<double> latenciesMs;

void onFrameDrawn(FrameBuffer* frame) {
    if (!sampledApp || latenciesMs.size() >= latenciesMs.capacity()) return;
    const int64_t posted = sampledApp->host().postedAt(frame);
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    latenciesMs.push_back(double(now - posted) / 1e6);
    if (latenciesMs.size() == latenciesMs.capacity() && activeLoop) activeLoop->quit();
}

// Runs the event loop the way the application does: blocking while idle,
// so the figures do not include a polling loop of our own.
void runEvents(int milliseconds) {
    QEventLoop loop;
    activeLoop = &loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
    activeLoop = nullptr;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

void BM_EndToEndLatency(benchmark::State& state) {
    for (auto _ : state) {
        Run run;
        runEvents(1000);  // windows up, pool warm
        latenciesMs.clear();
        latenciesMs.reserve(kLatencyFrames);
        sampledApp = &run.app;
        ScreenWindow::setFrameDrawnHook(onFrameDrawn);
        runEvents(60000);  // ends early once all frames are in
        ScreenWindow::setFrameDrawnHook(nullptr);
        sampledApp = nullptr;
    }
    std::vector<double> sorted = latenciesMs;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty()) {
        state.SkipWithError("no frame was drawn");
        return;
    }
    state.counters["frames"] = double(sorted.size());
    state.counters["median_ms"] = sorted[sorted.size() / 2];
    state.counters["p99_ms"] = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
    state.counters["max_ms"] = sorted.back();
}
BENCHMARK(BM_EndToEndLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_DemoSteadyState(benchmark::State& state) {
    for (auto _ : state) {
        Run run;
        runEvents(5000);  // settle
        const double cpu0 = cpuSeconds();
        const int32_t paints0 = linkStats.paintCounter.load();
        QElapsedTimer wall;
        wall.start();
        runEvents(30000);
        const double seconds = double(wall.elapsed()) / 1000.0;
        state.counters["cpu_percent"] = 100.0 * (cpuSeconds() - cpu0) / seconds;
        state.counters["fps"] = double(linkStats.paintCounter.load() - paints0) / seconds;
        runEvents(25000);  // a minute since start
        state.counters["rss_MiB_at_60s"] = double(residentKiB()) / 1024.0;
    }
}
BENCHMARK(BM_DemoSteadyState)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::printf("bench_latency: no display, skipped (run it under xvfb-run)\n");
        return 0;
    }
    // Settings and output stay out of the user's folders.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    QDir(home.path()).mkpath("Desktop");
    if (qEnvironmentVariableIsEmpty("SDL_AUDIODRIVER")) qputenv("SDL_AUDIODRIVER", "dummy");

    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
