// The fault soak: the capture core against the simulated board for a long
// run, with every fault the board can inject, unplugs and replugs, and
// consumers that hold frames as the application's do. Prints what happened
// and fails when a frame went astray, a buffer was lost or the board did not
// come back.
//   kestrel_soak [seconds]        (default: $SOAK_SECONDS, else 1800)
//   SOAK_SEED=n                   repeats a run
//   SOAK_STAGES=sim,libusb        the stages to run (default: all); the run's
//                                 time is split evenly between them
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/capture_core.h"
#include "base/debug_log.h"
#include "core/link_stats.h"
#include "fault_driver.h"
#include "soak_host.h"
#include "soak_stage.h"

namespace {

using namespace std::chrono_literals;
using soak::Clock;

constexpr double kResumeLimitMs = 2000;          // generous: the machine may be loaded
constexpr double kRssGrowthLimitMiB = 2.0;       // from the first minute to the end
constexpr double kMinGoodFramesPerSecond = 10;   // a sixth of the board's rate

double residentMiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

struct Checks {
    int failed = 0;
    void expect(bool ok, const std::string& what) {
        std::printf("  [%s] %s\n", ok ? "ok" : "FAILED", what.c_str());
        if (!ok) ++failed;
    }
};

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    char text[200];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

// Takes every buffer out of the free queue (nothing else runs now) and checks them.
void checkPool(Checks& checks) {
    std::set<FrameBuffer*> seen;
    int entries = 0, foreign = 0, held = 0;
    while (framePool.freeQueue.semaphore.try_acquire()) {
        FrameBuffer* frame = framePool.freeQueue.pop();
        ++entries;
        if (frame < framePool.buffers || frame >= framePool.buffers + kPoolSize) {
            ++foreign;
            continue;
        }
        seen.insert(frame);
    }
    for (FrameBuffer& buffer : framePool.buffers) {
        std::lock_guard<std::mutex> lock(buffer.mutex);
        if (buffer.refCount != 0) ++held;
    }
    std::printf("buffers in the free queue: %d entries, %zu distinct, %d with references\n", entries, seen.size(),
                held);
    checks.expect(entries == kPoolSize && int(seen.size()) == kPoolSize && foreign == 0,
                  "all 12 buffers back in the free queue, each once");
    checks.expect(held == 0, "no buffer keeps a reference");
    resetFramePool();
}

int runStage(const soak::Stage& stage, double seconds, uint32_t seed) {
    std::printf("== stage %s: %.0f s, seed %u\n", stage.name.c_str(), seconds, seed);
    std::fflush(stdout);
    usb::SimBoard board;
    std::unique_ptr<usb::Backend> backend = stage.makeBackend(board);
    if (!backend) {
        std::printf("stage %s cannot run here\n", stage.name.c_str());
        return 1;
    }
    linkStats.clear();
    soak::ConsumerHost host(seed);
    soak::FaultDriver driver(board, host, seed ^ 0x9e3779b9u);
    std::atomic<bool> stop{false};

    const auto started = Clock::now();
    const auto until = started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    host.start();
    usbThread_start(host, *backend);

    double rssAtMinute = -1;
    std::thread sampler([&] {
        while (!stop.load() && Clock::now() - started < 60s) std::this_thread::sleep_for(100ms);
        if (!stop.load()) rssAtMinute = residentMiB();
    });
    driver.run(until, stop);
    stop = true;
    sampler.join();
    const double rssAtEnd = residentMiB();

    usbThread_stop();
    host.stop();
    backend.reset();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();

    std::printf("ran %.0f s\n", elapsed);
    std::printf("frames by status: ok %llu, error %llu, skipped %d, other %llu\n",
                (unsigned long long)host.framesOk.load(), (unsigned long long)host.framesError.load(),
                linkStats.skips.load(), (unsigned long long)host.framesBadStatus.load());
    std::printf("faults by kind:\n");
    uint64_t faultTotal = 0;
    for (int i = 0; i < soak::kFaultKinds; ++i) {
        std::printf("  %-22s %llu\n", soak::faultName(static_cast<soak::Fault>(i)),
                    (unsigned long long)driver.faults[i]);
        faultTotal += driver.faults[i];
    }
    std::printf("  %-22s %llu\n", "total", (unsigned long long)faultTotal);
    std::vector<double> resumes = host.resumeMilliseconds();
    std::sort(resumes.begin(), resumes.end());
    std::printf("replugs: %llu, arrivals %llu, resumed %zu\n", (unsigned long long)driver.replugs,
                (unsigned long long)host.arrivals.load(), resumes.size());
    if (!resumes.empty())
        std::printf("resume after replug (ms): min %.1f, median %.1f, max %.1f\n", resumes.front(),
                    resumes[resumes.size() / 2], resumes.back());
    std::printf("consumers: %llu split toggles, %llu snapshots, %llu recordings (%llu frames, %llu encoder stalls)\n",
                (unsigned long long)host.splitToggles.load(), (unsigned long long)host.snapshots.load(),
                (unsigned long long)host.recordings.load(), (unsigned long long)host.recordedFrames.load(),
                (unsigned long long)host.encoderStalls.load());
    if (rssAtMinute >= 0)
        std::printf("resident memory: %.2f MiB at 1 min, %.2f MiB at the end (%+.2f MiB)\n", rssAtMinute, rssAtEnd,
                    rssAtEnd - rssAtMinute);
    else
        std::printf("resident memory: %.2f MiB at the end (run shorter than a minute)\n", rssAtEnd);

    Checks checks;
    checkPool(checks);
    checks.expect(host.framesBadStatus == 0 && host.framesNotFromPool == 0,
                  "every frame handed over came from the pool with status ok or error");
    checks.expect(host.framesStillHeld == 0, "no frame was handed over while a consumer still held it");
    checks.expect(host.framesBadAudio == 0, "every sound length whole sample frames within the storage");
    checks.expect(driver.missedResumes == 0 && resumes.size() == driver.replugs,
                  format("the picture came back after every replug (%.0f missed)", double(driver.missedResumes)));
    if (!resumes.empty())
        checks.expect(resumes.back() < kResumeLimitMs,
                      format("every resume within %.0f ms (max %.1f)", kResumeLimitMs, resumes.back()));
    checks.expect(double(host.framesOk) >= kMinGoodFramesPerSecond * std::min(elapsed, seconds) * 0.5,
                  format("good frames kept coming (%.1f per second)", double(host.framesOk) / elapsed));
    checks.expect(host.closeRequests == 0, "the core never asked the window to close");
    if (rssAtMinute >= 0 && elapsed >= 120)
        checks.expect(rssAtEnd - rssAtMinute < kRssGrowthLimitMiB,
                      format("resident memory grew less than %.0f MiB after the first minute (%+.2f)",
                             kRssGrowthLimitMiB, rssAtEnd - rssAtMinute));
    std::printf("stage %s: %s\n", stage.name.c_str(), checks.failed ? "FAILED" : "passed");
    std::fflush(stdout);
    return checks.failed;
}

}  // namespace

int main(int argc, char** argv) {
    soak::prepareStages(argv);
    double seconds = 1800;
    if (const char* env = std::getenv("SOAK_SECONDS"); env && *env) seconds = std::atof(env);
    if (argc > 1) seconds = std::atof(argv[1]);
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
        return 2;
    }
    uint32_t seed = std::random_device{}();
    if (const char* env = std::getenv("SOAK_SEED"); env && *env) seed = uint32_t(std::strtoul(env, nullptr, 0));
    std::string wanted = std::getenv("SOAK_STAGES") ? std::getenv("SOAK_STAGES") : "";
    // The core's debug lines (one per faulty frame) would drown the report.
    setDebugOutput(-1);

    std::vector<soak::Stage> chosen;
    for (const soak::Stage& stage : soak::availableStages()) {
        if (!wanted.empty() && ("," + wanted + ",").find("," + stage.name + ",") == std::string::npos) continue;
        chosen.push_back(stage);
    }
    if (chosen.empty()) {
        std::fprintf(stderr, "no stage named %s\n", wanted.c_str());
        return 2;
    }
    std::vector<soak::Stage> runnable;
    for (const soak::Stage& stage : chosen) {
        std::string why;
        if (stage.available && !stage.available(&why)) {
            std::printf("== stage %s skipped: %s\n", stage.name.c_str(), why.c_str());
            continue;
        }
        runnable.push_back(stage);
    }
    // The run's time is shared out between the stages that run.
    const double perStage = runnable.empty() ? 0 : seconds / double(runnable.size());
    int failed = 0;
    std::string summary;
    for (const soak::Stage& stage : runnable) {
        const int stageFailed = runStage(stage, perStage, seed);
        failed += stageFailed;
        summary += " " + stage.name + (stageFailed ? " FAILED" : " passed") + ";";
    }
    if (!summary.empty()) summary.pop_back();
    std::printf("soak: %s (%s)\n", failed ? "FAILED" : "passed", summary.empty() ? "no stage ran" : summary.c_str() + 1);
    return failed ? 1 : 0;
}
