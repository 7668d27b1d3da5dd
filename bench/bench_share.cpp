// The camera share end to end: the demo on the simulated board shares into
// a private PipeWire while gst-launch-1.0 reads the camera node for a
// minute. Figures: CPU per shared frame on the threads that do the sharing,
// frames per second the consumer received, frames dropped, and the time
// from the reader handing a frame over to its buffer being queued. The
// picture copy itself is measured beside it at each size. Needs a display
// and the PipeWire programs (skipped without them).
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/camera_share.h"
#include "app/control_window.h"
#include "app/kestrel_app.h"
#include "display/decode.h"
#include "share/shared_picture.h"
#include "support/private_pipewire.h"
#include "usb/sim/sim_board.h"

namespace {

constexpr int kSeconds = 60;
constexpr int kIdleSeconds = 20;
constexpr int kFrameBytes = 400 * 480 * 4;

PrivatePipeWire* pipewire = nullptr;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void runEvents(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of this process's threads whose names start with one of the prefixes.
double threadCpuSeconds(const std::vector<std::string>& prefixes) {
    double ticks = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(base + "/comm"), comm);
        bool wanted = false;
        for (const std::string& p : prefixes) wanted = wanted || comm.rfind(p, 0) == 0;
        if (!wanted) continue;
        std::string stat;
        std::getline(std::ifstream(base + "/stat"), stat);
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stod(field);
            if (i == 15) stime = std::stod(field);
        }
        ticks += utime + stime;
    }
    closedir(tasks);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// Read-to-queued times, filled on the share thread.
KestrelApp* sampledApp = nullptr;
std::vector<double> queuedMs;
std::atomic<size_t> queuedCount{0};
void onQueued(const FrameBuffer* frame, int64_t queuedNs) {
    const size_t i = queuedCount.load(std::memory_order_relaxed);
    if (!sampledApp || i >= queuedMs.size()) return;
    queuedMs[i] = double(queuedNs - sampledApp->host().postedAt(frame)) / 1e6;
    queuedCount.store(i + 1, std::memory_order_release);
}

void BM_SharedPictureCopy(benchmark::State& state) {
    const int scale = int(state.range(0));
    std::vector<uint32_t> image(400 * 480, 0x00123456u);
    FrameBuffer frame;
    frame.displayImage = image.data();
    frame.layout = displayTypeTable[1];
    const PictureSize size = sharedPictureSize(frame.layout, scale);
    std::vector<uint8_t> out(size_t(size.width) * 4 * size.height);
    for (auto _ : state) {
        copySharedPicture(frame, scale, PixelOrder::BGRx, out.data(), size.width * 4);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_SharedPictureCopy)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

void BM_ShareToConsumer(benchmark::State& state) {
    if (!pipewire) {
        state.SkipWithError("no private PipeWire");
        return;
    }
    for (auto _ : state) {
        usb::SimBoard board;
        KestrelApp app;
        app.start(board, false);
        CameraShare* share = app.controlWindow()->cameraShare();
        share->setScale(1);
        share->setSharing(true);
        if (!pipewire->waitForNode("kestrel-capture-video", 10000)) {
            state.SkipWithError("the camera node did not appear");
            return;
        }
        queuedMs.assign(size_t(kSeconds + 10) * 60, 0);
        queuedCount = 0;
        sampledApp = &app;
        share->share().setQueuedHook(onQueued);
        // gst-launch-1.0 writes the raw frames into a FIFO we count from.
        const std::string fifo = pipewire->folder() + "/frames.fifo";
        unlink(fifo.c_str());
        mkfifo(fifo.c_str(), 0600);
        // The reader opens first: the program's start waits for its open of the FIFO.
        std::atomic<uint64_t> bytes{0};
        std::thread reader([&] {
            FILE* in = std::fopen(fifo.c_str(), "rb");
            if (!in) return;
            std::vector<char> buffer(1 << 16);
            size_t n;
            while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) bytes += n;
            std::fclose(in);
        });
        ChildProcess consumer;
        if (!consumer.start({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=kestrel-capture-video", "!",
                             "video/x-raw,format=BGRx", "!", "fdsink", "fd=1"},
                            pipewire->environment(), fifo)) {
            std::fclose(std::fopen(fifo.c_str(), "wb"));  // lets the reader go
            reader.join();
            state.SkipWithError("gst-launch-1.0 did not start");
            return;
        }
        runEvents(5000);  // linked and settled
        const std::vector<std::string> sharing = {"share"};
        const double cpu0 = threadCpuSeconds(sharing);
        const double process0 = processCpuSeconds();
        const PipeWireShare::Stats s0 = share->share().stats();
        const uint64_t bytes0 = bytes.load();
        const size_t sample0 = queuedCount.load();
        const int64_t t0 = nowNs();
        runEvents(kSeconds * 1000);
        const double seconds = double(nowNs() - t0) / 1e9;
        const double received = double(bytes.load() - bytes0) / kFrameBytes;
        const PipeWireShare::Stats s1 = share->share().stats();
        const double cpu = threadCpuSeconds(sharing) - cpu0;
        const double processCpu = processCpuSeconds() - process0;
        const size_t sample1 = queuedCount.load();
        share->share().setQueuedHook(nullptr);
        sampledApp = nullptr;
        consumer.stop();  // the FIFO's end ends the reader
        reader.join();
        share->setSharing(false);
        // The same program not sharing, for the difference sharing makes.
        runEvents(3000);
        const double idle0 = processCpuSeconds();
        const int64_t i0 = nowNs();
        runEvents(kIdleSeconds * 1000);
        const double idlePerSecond = (processCpuSeconds() - idle0) / (double(nowNs() - i0) / 1e9);

        const double queued = double(s1.queued - s0.queued);
        std::vector<double> latencies(queuedMs.begin() + long(sample0), queuedMs.begin() + long(sample1));
        std::sort(latencies.begin(), latencies.end());
        // The share thread alone, and the whole process against the same program not sharing.
        state.counters["share_thread_cpu_ms_per_frame"] = queued > 0 ? cpu * 1000 / queued : 0;
        state.counters["process_cpu_ms_per_frame"] =
            queued > 0 ? (processCpu - idlePerSecond * seconds) * 1000 / queued : 0;
        state.counters["received_fps"] = received / seconds;
        state.counters["queued_fps"] = queued / seconds;
        state.counters["dropped_no_buffer"] = double(s1.noBuffer - s0.noBuffer);
        state.counters["replaced"] = double(s1.replaced - s0.replaced);
        if (!latencies.empty()) {
            state.counters["read_to_queued_median_ms"] = latencies[latencies.size() / 2];
            state.counters["read_to_queued_p99_ms"] = latencies[latencies.size() * 99 / 100];
        }
    }
}
BENCHMARK(BM_ShareToConsumer)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::printf("bench_share: no display, skipped (run it under xvfb-run)\n");
        return 0;
    }
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("SDL_AUDIODRIVER")) qputenv("SDL_AUDIODRIVER", "dummy");
    std::unique_ptr<PrivatePipeWire> daemon;
    if (const std::string missing = PrivatePipeWire::missingPrograms(); !missing.empty()) {
        std::printf("bench_share: PipeWire programs missing (%s): the end-to-end figures are skipped\n",
                    missing.c_str());
    } else {
        daemon = std::make_unique<PrivatePipeWire>();
        std::string error;
        if (daemon->start(&error)) {
            std::printf("private PipeWire ready after %.0f ms\n", daemon->startMs());
            for (const auto& [key, value] : daemon->environment()) qputenv(key.c_str(), QByteArray::fromStdString(value));
            pipewire = daemon.get();
        } else {
            std::printf("bench_share: private PipeWire did not start: %s\n", error.c_str());
        }
    }
    // After the daemon's: the program's settings in the temporary home.
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    QDir(home.path()).mkpath("Desktop");

    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    pipewire = nullptr;
    return 0;
}
