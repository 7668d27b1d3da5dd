// The controls tests use on the simulated board: its configuration block and
// reconfigure delay, faults on the next transfers, odd frame lengths and
// short reads, unplugging, and the counters and the transcript they check.
#include <algorithm>
#include <mutex>

#include "usb/sim/board_model.h"

namespace usb {

void BoardModel::setConfig(uint8_t hardware, uint8_t major, uint8_t minor, uint8_t fourth) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = {hardware, major, minor, fourth};
}

std::array<uint8_t, 4> BoardModel::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void BoardModel::setReconfigureDelay(uint32_t milliseconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    reconfigureDelayMs_ = milliseconds;
}

void BoardModel::failStartRequests(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    failStarts_ = count;
}

void BoardModel::failControl(int count, uint32_t error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failControls_ = count;
    failControlError_ = error;
}

void BoardModel::failReads(int count, uint32_t error) { failReadsAfter(0, count, error); }

void BoardModel::failReadsAfter(int afterOk, int count, uint32_t error) {
    std::lock_guard<std::mutex> lock(mutex_);
    readsBeforeFail_ = afterOk;
    failReads_ = count;
    failReadError_ = error;
}

void BoardModel::setFrameLength(uint32_t bytes, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    frameLengthOverride_ = std::min(bytes, kMaxFrameBytes);
    frameLengthFrames_ = count;
}

void BoardModel::setMaxReadBytes(uint32_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    maxReadBytes_ = bytes;
}

void BoardModel::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_) return;
        comebackPending_ = false;
        leaveBus();
    }
    tellBus(false);
}

void BoardModel::replug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (present_) return;
        present_ = true;
        comebackPending_ = false;
    }
    tellBus(true);
}

bool BoardModel::present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return present_;
}

uint64_t BoardModel::framesDelivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

uint64_t BoardModel::nextFrameNumber() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextFrame_;
}

std::vector<BoardModel::Transfer> BoardModel::transcript() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Transfer> out;
    out.reserve(transcriptCount_);
    const size_t first = (transcriptNext_ + kTranscriptCapacity - transcriptCount_) % kTranscriptCapacity;
    for (size_t i = 0; i < transcriptCount_; ++i) out.push_back(transcript_[(first + i) % kTranscriptCapacity]);
    return out;
}

void BoardModel::clearTranscript() {
    std::lock_guard<std::mutex> lock(mutex_);
    transcriptNext_ = 0;
    transcriptCount_ = 0;
}

}  // namespace usb
