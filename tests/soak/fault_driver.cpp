#include "fault_driver.h"

#include <thread>

namespace soak {
namespace {

using namespace std::chrono_literals;

Clock::duration pickDuration(std::mt19937& random, std::chrono::milliseconds low, std::chrono::milliseconds high) {
    return std::chrono::milliseconds(std::uniform_int_distribution<int64_t>(low.count(), high.count())(random));
}

uint32_t pick(std::mt19937& random, uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(random);
}

// Sleeps in short slices so that a stop request is seen.
void sleepFor(Clock::duration span, const std::atomic<bool>& stop) {
    const auto until = Clock::now() + span;
    while (!stop.load() && Clock::now() < until)
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), 50ms));
}

}  // namespace

const char* faultName(Fault fault) {
    switch (fault) {
        case Fault::FailedStart: return "failed start request";
        case Fault::ControlError: return "start request error";
        case Fault::ReadTimeout: return "read time-out";
        case Fault::ReadError: return "read error";
        case Fault::MidFrameError: return "error mid-frame";
        case Fault::LostRead: return "read: device gone";
        case Fault::ShortFrame: return "short frame";
        case Fault::OddSound: return "odd sound length";
        case Fault::OverlongFrame: return "over-long frame";
        case Fault::ShortPackets: return "short packets";
        case Fault::Count: break;
    }
    return "?";
}

FaultDriver::FaultDriver(usb::SimBoard& board, ConsumerHost& host, uint32_t seed)
    : board_(board), host_(host), random_(seed) {}

void FaultDriver::run(Clock::time_point until, const std::atomic<bool>& stop) {
    auto nextUnplug = Clock::now() + pickDuration(random_, 10s, 30s);
    while (!stop.load() && Clock::now() < until) {
        sleepFor(pickDuration(random_, 100ms, 1500ms), stop);
        if (stop.load() || Clock::now() >= until) break;
        if (Clock::now() >= nextUnplug) {
            unplugFor(pickDuration(random_, 500ms, 3000ms), stop);
            nextUnplug = Clock::now() + pickDuration(random_, 10s, 30s);
        } else {
            inject();
        }
    }
    clearFaults();
    if (host_.resumePending()) waitResume(stop);
}

void FaultDriver::inject() {
    const auto fault = static_cast<Fault>(pick(random_, 0, kFaultKinds - 1));
    ++faults[static_cast<int>(fault)];
    const int count = static_cast<int>(pick(random_, 1, 3));
    board_.setMaxReadBytes(0);  // short packets last until the next fault
    switch (fault) {
        case Fault::FailedStart: board_.failStartRequests(count); break;
        case Fault::ControlError: board_.failControl(count, usb::kErrorGenFailure); break;
        case Fault::ReadTimeout: board_.failReads(count, usb::kErrorSemTimeout); break;
        case Fault::ReadError: board_.failReads(count, usb::kErrorGenFailure); break;
        case Fault::MidFrameError:
            board_.failReadsAfter(static_cast<int>(pick(random_, 1, 60)), count, usb::kErrorGenFailure);
            break;
        case Fault::LostRead: board_.failReads(count, usb::kErrorNoDevice); break;
        case Fault::ShortFrame: board_.setFrameLength(pick(random_, 0, usb::SimBoard::kVideoBytes - 1), count); break;
        case Fault::OddSound:
            board_.setFrameLength(usb::SimBoard::kVideoBytes + 4 * pick(random_, 0, 548) + pick(random_, 1, 3), count);
            break;
        case Fault::OverlongFrame:
            board_.setFrameLength(pick(random_, kVideoStorageBytes + 1, usb::SimBoard::kMaxFrameBytes), count);
            break;
        case Fault::ShortPackets: board_.setMaxReadBytes(pick(random_, 1, 64) * 512 - pick(random_, 0, 1) * 7); break;
        case Fault::Count: break;
    }
}

void FaultDriver::clearFaults() {
    board_.failStartRequests(0);
    board_.failControl(0, 0);
    board_.failReads(0, 0);
    board_.setFrameLength(0, 0);
    board_.setMaxReadBytes(0);
}

void FaultDriver::unplugFor(Clock::duration away, const std::atomic<bool>& stop) {
    board_.unplug();
    sleepFor(away, stop);
    clearFaults();  // a fault still pending would otherwise meet the returning board
    ++replugs;
    host_.expectResume(Clock::now());
    board_.replug();  // the arrival is raised on this thread, as the board's own would be
    waitResume(stop);
}

bool FaultDriver::waitResume(const std::atomic<bool>& stop) {
    const auto until = Clock::now() + kResumeWait;
    while (host_.resumePending() && Clock::now() < until && !stop.load()) std::this_thread::sleep_for(5ms);
    if (!host_.resumePending()) return true;
    if (!stop.load()) ++missedResumes;
    return false;
}

}  // namespace soak
