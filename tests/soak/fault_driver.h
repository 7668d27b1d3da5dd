#pragma once
// Drives the board model through every fault it can inject, at random
// moments, and unplugs and replugs it now and then. Faults are held back
// from a replug until the picture is back, so that each resume time measures
// the arrival path alone.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

#include "soak_host.h"
#include "usb/sim/sim_board.h"

namespace soak {

enum class Fault : int {
    FailedStart,    // the start request waits its time-out and fails
    ControlError,   // the start request fails at once
    ReadTimeout,    // a frame read waits its time-out
    ReadError,      // a frame read fails at once
    MidFrameError,  // reads fail part-way through a frame
    LostRead,       // a read says the device is gone while it is still there
    ShortFrame,     // fewer bytes than a picture
    OddSound,       // a sound byte count that is not whole sample frames
    OverlongFrame,  // more bytes than the reader keeps
    ShortPackets,   // reads end early for a while, as short packets do
    Count
};
constexpr int kFaultKinds = static_cast<int>(Fault::Count);
const char* faultName(Fault fault);

class FaultDriver {
public:
    FaultDriver(usb::SimBoard& board, ConsumerHost& host, uint32_t seed);

    // Runs until `until`; returns early when `stop` becomes true.
    void run(Clock::time_point until, const std::atomic<bool>& stop);

    std::array<uint64_t, kFaultKinds> faults{};
    uint64_t replugs = 0;
    uint64_t missedResumes = 0;  // replugs after which no good frame came within kResumeWait

    static constexpr std::chrono::seconds kResumeWait{5};

private:
    void inject();
    void clearFaults();
    void unplugFor(Clock::duration away, const std::atomic<bool>& stop);
    bool waitResume(const std::atomic<bool>& stop);

    usb::SimBoard& board_;
    ConsumerHost& host_;
    std::mt19937 random_;
};

}  // namespace soak
