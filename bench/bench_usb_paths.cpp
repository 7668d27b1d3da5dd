// The device link's frame reads on the two ways to the same board model:
// the in-process usb::SimBoard, and libusb's Linux backend talking to the
// board emulated at the kernel's USB device interface (umockdev). Reports
// frames per second and process CPU time per frame, paced at the board's
// 59.83 frames per second and unpaced (as fast as the path allows). The CPU
// figure of the libusb path includes the emulation's own threads, which
// stand in for the kernel and the board.
//
// The libusb path needs umockdev's preload library: without it loaded the
// program runs itself again with it.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "usb/libusb/libusb_backend.h"
#include "usb/sim/sim_board.h"
#include "usbemu/usbdevfs_board.h"

namespace {

double processCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

enum Path { Sim = 0, Libusb = 1 };

void readFrames(benchmark::State& state) {
    const Path path = static_cast<Path>(state.range(0));
    const bool paced = state.range(1) != 0;

    usb::SimBoard sim;
    usb::BoardModel model;
    std::unique_ptr<usbemu::UsbdevfsBoard> emulated;
    std::unique_ptr<usb::Backend> libusb;
    usb::BoardModel& board = path == Sim ? static_cast<usb::BoardModel&>(sim) : model;
    board.setPaced(paced);
    if (path == Sim) {
        kestrelDevice.setBackend(&sim);
    } else {
        emulated = std::make_unique<usbemu::UsbdevfsBoard>(model);
        libusb = usb::makeLibusbBackend();
        kestrelDevice.setBackend(libusb.get());
    }
    if (!kestrelDevice.open(nullptr) || kestrelDevice.openState != Streaming) {
        state.SkipWithError("the board does not open");
        kestrelDevice.setBackend(nullptr);
        return;
    }
    std::vector<uint8_t> storage(kVideoStorageAllocBytes);
    FrameBuffer frame;
    frame.videoStorage = storage.data();
    for (int i = 0; i < 5; ++i) kestrelDevice.readFrame(&frame);  // warm up

    int64_t good = 0;
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) good += kestrelDevice.readFrame(&frame) == FRAME_OK;
    const double cpu = processCpuSeconds() - cpu0;

    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(good), benchmark::Counter::kIsRate);
    state.counters["cpu_us_per_frame"] = good ? cpu * 1e6 / static_cast<double>(good) : 0;
    state.counters["good_frames"] = static_cast<double>(good);
    state.SetLabel(std::string(path == Sim ? "usb::SimBoard" : "libusb+usbdevfs") + (paced ? ", paced" : ", unpaced"));
    kestrelDevice.close();
    kestrelDevice.setBackend(nullptr);
}

// Side by side: each case the two paths, one after the other.
BENCHMARK(readFrames)
    ->ArgNames({"libusb", "paced"})
    ->Args({Sim, 1})
    ->Args({Libusb, 1})
    ->Args({Sim, 0})
    ->Args({Libusb, 0})
    ->Iterations(120)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    usbemu::runUnderUmockdev(argv);
    std::string why;
    if (!usbemu::emulationAvailable(&why)) {
        std::fprintf(stderr, "bench_usb_paths: %s\n", why.c_str());
        return 0;
    }
    // A private settings folder whose usb-ids lists the emulated board.
    std::string folder = (std::filesystem::temp_directory_path() / "kc-bench-usb-XXXXXX").string();
    if (!mkdtemp(folder.data())) return 1;
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    std::filesystem::create_directories(folder + "/Wren Capture");
    std::ofstream(folder + "/Wren Capture/usb-ids") << "1209:4b43\n";

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(folder);
    return 0;
}
