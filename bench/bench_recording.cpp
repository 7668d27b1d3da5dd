// Recording the simulated board's picture (400 x 480, 60 frames per second)
// with every listed compressor.
//
// BM_RecordUnpaced: 30 s of recording time (1800 frames), each frame offered
// as soon as the previous one has been encoded and written; the time from
// offer to the frame's return is the per-frame cost (copy, conversion,
// encoding, muxing). median_ms under 16.7 means 60 fps can be kept up.
// BM_RecordRealTime: 10 s at a real 60 Hz with the pool's 12 buffers; a frame
// offered while all 12 are still held is lost, as it would be on the board.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "display/decode.h"
#include "record/capture_filter.h"
#include "record/recording.h"
#include "settings/settings.h"
#include "usb/sim/sim_picture.h"

namespace fs = std::filesystem;

namespace {

constexpr int kImages = 60;  // one second of distinct pictures, looped
constexpr int64_t kSlot = 166666;

struct Pictures {
    Pictures() : images(kImages, std::vector<uint32_t>(400 * 480)) {
        settings.displayType = 1;
        std::vector<uint8_t> still(kVideoStorageAllocBytes);
        usb::drawStillPicture(still.data());
        FrameBuffer scratch;
        std::vector<uint8_t> storage(kVideoStorageAllocBytes);
        scratch.videoStorage = storage.data();
        for (int i = 0; i < kImages; ++i) {
            std::copy(still.begin(), still.end(), storage.begin());
            usb::drawMovingParts(storage.data(), static_cast<uint64_t>(i));
            decodeFrame(&scratch);
            std::copy(scratch.displayImage, scratch.displayImage + 400 * 480, images[i].begin());
        }
        freeDisplayImage(&scratch);
    }
    std::vector<std::vector<uint32_t>> images;
};

const Pictures& pictures() {
    static Pictures p;
    return p;
}

// Processor time of the whole process so far, in milliseconds: unlike the
// wall clock it hardly depends on what else the machine is doing.
double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

int32_t refs(FrameBuffer& f) {
    std::lock_guard lock(f.mutex);
    return f.refCount;
}

struct Pool {
    Pool() : frames(12) {
        for (auto& f : frames) {
            f.layout = displayTypeTable[1];
            f.refCount = 1;
        }
    }
    FrameBuffer* take(int picture) {
        for (auto& f : frames)
            if (refs(f) == 1) {
                f.displayImage = const_cast<uint32_t*>(pictures().images[picture % kImages].data());
                return &f;
            }
        return nullptr;
    }
    std::vector<FrameBuffer> frames;
};

// Moves on by hand from just after the run's start.
class StepClock : public media::ReferenceClock {
public:
    int64_t GetTime() override { return now.load(); }
    std::atomic<int64_t> now{0};
};

std::vector<std::string> compressors() {
    std::vector<std::string> names;
    findDevice(nullptr, media::Category::VideoCompressor, [&](const media::Moniker&, const std::string& n, const char*) {
        names.push_back(n);
        return std::shared_ptr<media::Filter>{};
    });
    return names;
}

struct Folder {
    Folder() : path(fs::temp_directory_path() / ("kestrel-bench-" + std::to_string(getpid()))), previous(fs::current_path()) {
        fs::create_directories(path);
        fs::current_path(path);
    }
    ~Folder() {
        fs::current_path(previous);
        fs::remove_all(path);
    }
    fs::path path, previous;
};

void prepare(const std::string& codec) {
    pictures();
    utf8ToField(settings.videoCodec, codec);
    utf8ToField(settings.recordingSource, "(no sound)");
    settings.videoQuality = 0.85;
    settings.recordFps = 60;
    settings.recordScreens = 0;
    settings.displayType = 1;
    settings.videoCodecSettingsSize = 0;
    videoCodecSettings.clear();
}

void BM_RecordUnpaced(benchmark::State& state) {
    const std::string codec = compressors().at(static_cast<size_t>(state.range(0)));
    state.SetLabel(codec);
    prepare(codec);
    Folder folder;
    Pool pool;
    StepClock clock;
    std::vector<double> costs;
    for (auto _ : state) {
        if (!startRecordingGraph("bench.avi")) {
            state.SkipWithError("the recording did not start");
            return;
        }
        clock.now = media::systemClock().GetTime();
        auto* filter = dynamic_cast<DSFilter*>(recordingApp());
        filter->SetSyncSource(&clock);
        const int64_t base = clock.now;
        const double cpuStart = cpuMs();
        for (int k = 0; k < 1800; ++k) {
            clock.now = base + int64_t{k} * kSlot + kSlot / 2;
            FrameBuffer* f = pool.take(k);
            auto start = std::chrono::steady_clock::now();
            recordingApp()->pushFrame(f);
            while (refs(*f) != 1) std::this_thread::sleep_for(std::chrono::microseconds(20));
            costs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        int64_t skipped = 0;
        recordingApp()->getStat(kStatSlotsSkipped, &skipped);
        stopRecordingGraph();
        state.counters["cpu_ms_per_frame"] = (cpuMs() - cpuStart) / 1800;
        state.counters["skipped"] = static_cast<double>(skipped);
    }
    std::sort(costs.begin(), costs.end());
    state.counters["median_ms"] = costs[costs.size() / 2];
    state.counters["p95_ms"] = costs[costs.size() * 95 / 100];
    state.counters["MB_per_min"] = static_cast<double>(fs::file_size(folder.path / "bench.avi")) * 2 / 1e6;
}

void BM_RecordRealTime(benchmark::State& state) {
    const std::string codec = compressors().at(static_cast<size_t>(state.range(0)));
    state.SetLabel(codec);
    prepare(codec);
    Folder folder;
    Pool pool;
    int lost = 0;
    for (auto _ : state) {
        if (!startRecordingGraph("bench.avi")) {
            state.SkipWithError("the recording did not start");
            return;
        }
        auto next = std::chrono::steady_clock::now();
        const double cpuStart = cpuMs();
        for (int k = 0; k < 600; ++k) {
            next += std::chrono::microseconds(16667);
            std::this_thread::sleep_until(next);
            if (FrameBuffer* f = pool.take(k))
                recordingApp()->pushFrame(f);
            else
                ++lost;
        }
        int64_t skipped = 0, delivered = 0;
        recordingApp()->getStat(kStatSlotsSkipped, &skipped);
        recordingApp()->getStat(kStatFramesDelivered, &delivered);
        stopRecordingGraph();
        state.counters["cpu_ms_per_frame"] = (cpuMs() - cpuStart) / static_cast<double>(std::max<int64_t>(delivered, 1));
        state.counters["skipped"] = static_cast<double>(skipped);
        state.counters["delivered"] = static_cast<double>(delivered);
    }
    state.counters["pool_empty"] = lost;
    state.counters["MB_per_min"] = static_cast<double>(fs::file_size(folder.path / "bench.avi")) * 6 / 1e6;
}

void everyCompressor(benchmark::internal::Benchmark* b) {
    for (size_t i = 0; i < compressors().size(); ++i) b->Arg(static_cast<int>(i));
}

}  // namespace

BENCHMARK(BM_RecordUnpaced)->Apply(everyCompressor)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_RecordRealTime)->Apply(everyCompressor)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_MAIN();
