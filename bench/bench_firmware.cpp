// Firmware update: a full update of a 462069-byte image on the simulated
// board with the chips' real busy times, against the floor those busy times
// set alone; and the image decompression against zlib's on the same stream.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <vector>

#include "../tests/support/private_folders.h"
#include "../tests/tools/synthetic_image.h"
#include "core/device.h"
#include "firmware/firmware_resources.h"
#include "firmware/firmware_update.h"
#include "firmware/flash_protocol.h"
#include "firmware/inflate.h"
#include "usb/sim/sim_board.h"
#include "usb/sim/sim_flash.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<uint8_t>& image() {
    static const std::vector<uint8_t> raw = synthetic::image(4);
    return raw;
}

const std::vector<uint8_t>& stream() {
    static const std::vector<uint8_t> s = synthetic::compress(image());
    return s;
}

void installImage() {
    static const FirmwareResource table[] = {{104, stream().data(), stream().size()}};
    setFirmwareResources(table, 1);
}

void reportFloor(benchmark::State& state, double seconds, uint64_t transfers, uint64_t busyUs) {
    const double floor = busyUs / 1e6;
    state.counters["update_s"] = seconds;
    state.counters["floor_s"] = floor;
    state.counters["ratio"] = seconds / floor;
    state.counters["transfers"] = static_cast<double>(transfers);
}

// The application's path: the device link on the simulated board, whose
// transfers take no time of their own.
void BM_FullUpdateOnSimBoard(benchmark::State& state) {
    installImage();
    for (auto _ : state) {
        state.PauseTiming();
        PrivateFolders folders;  // the kept board data goes to a scratch folder
        usb::SimBoard board;
        board.setConfig(4, 5, 0, 0);
        board.flash().loadFactoryContent(4);
        board.flash().setTimeScale(1.0);
        kestrelDevice.setBackend(&board);
        if (!kestrelDevice.open(nullptr)) state.SkipWithError("open failed");
        state.ResumeTiming();

        const auto start = Clock::now();
        const int code = updateFirmware(kestrelDevice, [](int) {});
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

        state.PauseTiming();
        if (code != 0) state.SkipWithError("update failed");
        reportFloor(state, seconds, board.flash().transfers(), board.flash().busyTimeUs());
        kestrelDevice.close();
        kestrelDevice.setBackend(nullptr);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FullUpdateOnSimBoard)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same over a link whose every control transfer takes 125 us, as one
// round trip on a high-speed bus roughly does.
class SlowLink : public FlashLink {
public:
    int controlRead(uint8_t request, uint16_t value, uint16_t length, uint8_t* data) override {
        pause();
        if (request == REQ_PORT && value == CONFIG_PORT) {
            for (uint16_t i = 0; i < length; ++i) data[i] = i < 4 ? config[i] : 0;
            return length;
        }
        return flash.read(value, data, length);
    }
    bool controlWrite(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data) override {
        pause();
        if (request == REQ_PORT && value == CONFIG_PORT) return true;
        return flash.write(value, data, length);
    }
    bool setPipeTimeout(uint8_t, uint32_t) override { return true; }
    bool readConfig(int length, uint8_t* data) override {
        static const uint8_t select = 0;
        return controlWrite(REQ_PORT, CONFIG_PORT, 1, &select) &&
               controlRead(REQ_PORT, CONFIG_PORT, static_cast<uint16_t>(length), data) == length;
    }
    uint32_t& flashId() override { return id; }

    usb::SimFlash flash;
    uint8_t config[4] = {4, 5, 0, 0};
    uint32_t id = 0;
    uint64_t transfers = 0;

private:
    void pause() {
        ++transfers;
        const auto until = Clock::now() + std::chrono::microseconds(125);
        while (Clock::now() < until) {
        }
    }
};

void BM_FullUpdateWithBusLatency(benchmark::State& state) {
    installImage();
    for (auto _ : state) {
        state.PauseTiming();
        PrivateFolders folders;  // the kept board data goes to a scratch folder
        SlowLink link;
        link.flash.loadFactoryContent(4);
        link.flash.setTimeScale(1.0);
        state.ResumeTiming();

        const auto start = Clock::now();
        const int code = updateFirmwareOver(link, [](int) {});
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

        state.PauseTiming();
        if (code != 0) state.SkipWithError("update failed");
        reportFloor(state, seconds, link.transfers, link.flash.busyTimeUs());
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FullUpdateWithBusLatency)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InflateImage(benchmark::State& state) {
    std::vector<uint8_t> out(kFirmwareImageLimit);
    for (auto _ : state) {
        auto result = firmware::zlibInflate(stream().data(), stream().size(), out.data(), out.size());
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image().size()));
}
BENCHMARK(BM_InflateImage)->Unit(benchmark::kMicrosecond);

void BM_ZlibUncompressImage(benchmark::State& state) {
    std::vector<uint8_t> out(kFirmwareImageLimit);
    for (auto _ : state) {
        uLongf size = out.size();
        int rc = uncompress(out.data(), &size, stream().data(), stream().size());
        benchmark::DoNotOptimize(rc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image().size()));
}
BENCHMARK(BM_ZlibUncompressImage)->Unit(benchmark::kMicrosecond);

// Both decoders in turn on the same stream; the ratio is ours over zlib's time.
void BM_InflateOverZlib(benchmark::State& state) {
    std::vector<uint8_t> out(kFirmwareImageLimit);
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        auto result = firmware::zlibInflate(stream().data(), stream().size(), out.data(), out.size());
        benchmark::DoNotOptimize(result);
        auto t1 = Clock::now();
        uLongf size = out.size();
        int rc = uncompress(out.data(), &size, stream().data(), stream().size());
        benchmark::DoNotOptimize(rc);
        auto t2 = Clock::now();
        ours += std::chrono::duration<double>(t1 - t0).count();
        theirs += std::chrono::duration<double>(t2 - t1).count();
    }
    state.counters["ours_MBps"] = image().size() * state.iterations() / ours / 1e6;
    state.counters["zlib_MBps"] = image().size() * state.iterations() / theirs / 1e6;
    state.counters["time_ratio"] = ours / theirs;
}
BENCHMARK(BM_InflateOverZlib)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
