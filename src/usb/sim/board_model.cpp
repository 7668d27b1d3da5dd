#include "usb/sim/board_model.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "usb/sim/sim_picture.h"

namespace usb {

namespace {
using Clock = std::chrono::steady_clock;

constexpr uint32_t kNoTimeoutCapMs = 5000;
constexpr uint8_t kCurrentFirmwareMajor = 8;

std::chrono::milliseconds timeoutOf(uint32_t ms) {
    return std::chrono::milliseconds(ms == 0 ? kNoTimeoutCapMs : ms);
}

Clock::duration framePeriods(uint64_t frames) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(frames) / BoardModel::kFramesPerSecond));
}

bool cancelled(const BoardModel::Pipes& pipes) {
    return pipes.cancelled != nullptr && pipes.cancelled->load();
}
}  // namespace

BoardModel::BoardModel()
    : epoch_(Clock::now()),
      frame_(kMaxFrameBytes),
      background_(kVideoBytes),
      transcript_(kTranscriptCapacity) {
    drawStillPicture(background_.data());
}

BoardModel::~BoardModel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (comebackThread_.joinable()) comebackThread_.join();
}

void BoardModel::setBusListener(BusListener listener) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listener_ = std::move(listener);
}

void BoardModel::tellBus(bool present) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    if (listener_) listener_(present);
}

uint64_t BoardModel::generation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

void BoardModel::interruptWaits() {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_all();
}

void BoardModel::recordTransfer(const Transfer& t) {
    std::lock_guard<std::mutex> lock(mutex_);
    record(t);
}

void BoardModel::setPaced(bool paced) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (paced && !paced_) epoch_ = Clock::now() - framePeriods(nextFrame_);  // no burst of "late" frames
    paced_ = paced;
}

void BoardModel::record(const Transfer& t) {
    transcript_[transcriptNext_] = t;
    transcriptNext_ = (transcriptNext_ + 1) % kTranscriptCapacity;
    if (transcriptCount_ < kTranscriptCapacity) ++transcriptCount_;
}

void BoardModel::leaveBus() {
    present_ = false;
    ++generation_;
    frameOpen_ = false;
    wake_.notify_all();  // transfers waiting on the old interface give up
}

bool BoardModel::waitTimeout(std::unique_lock<std::mutex>& lock, uint64_t generation, const Pipes& pipes,
                             uint32_t timeout) {
    wake_.wait_for(lock, timeoutOf(timeout),
                   [&] { return generation_ != generation || stopping_ || cancelled(pipes); });
    return generation_ == generation;
}

bool BoardModel::startFrame(std::unique_lock<std::mutex>& lock, uint64_t generation, const Pipes& pipes) {
    const uint32_t timeout = pipes.controlTimeout;
    frameOpen_ = false;  // whatever is left of the previous frame is dropped
    if (failStarts_ > 0) {
        --failStarts_;
        if (!waitTimeout(lock, generation, pipes, timeout)) return setLastError(kErrorNoDevice), false;
        return setLastError(kErrorSemTimeout), false;
    }
    uint64_t number = nextFrame_;
    if (paced_) {
        const auto now = Clock::now();
        const auto elapsed = std::chrono::duration<double>(now - epoch_).count();
        const auto due = static_cast<uint64_t>(elapsed * kFramesPerSecond);
        if (due >= nextFrame_) {
            number = due;  // the newest frame; older ones were missed
        } else {
            const auto at = epoch_ + framePeriods(nextFrame_);
            const auto limit = now + timeoutOf(timeout);
            const auto until = std::min(at, limit);
            wake_.wait_until(lock, until,
                             [&] { return generation_ != generation || stopping_ || cancelled(pipes); });
            if (generation_ != generation) return setLastError(kErrorNoDevice), false;
            if (at > limit || cancelled(pipes)) return setLastError(kErrorSemTimeout), false;
        }
    }
    nextFrame_ = number + 1;
    ++delivered_;
    prepareFrame(number);
    return true;
}

void BoardModel::prepareFrame(uint64_t number) {
    std::memcpy(frame_.data(), background_.data(), kVideoBytes);
    drawMovingParts(frame_.data(), number);
    drawSound(frame_.data() + kVideoBytes, number);
    uint32_t length = kVideoBytes + 4 * samplesInFrame(number);
    if (frameLengthFrames_ > 0) {
        --frameLengthFrames_;
        const uint32_t wanted = frameLengthOverride_;
        if (wanted > length) std::memset(frame_.data() + length, 0xA5, wanted - length);
        length = wanted;
    }
    frameLength_ = length;
    framePos_ = 0;
    frameOpen_ = true;
}

bool BoardModel::control(uint64_t generation, const Pipes& pipes, const SetupPacket& setup, uint8_t* data,
                       uint32_t length, uint32_t* transferred) {
    std::unique_lock<std::mutex> lock(mutex_);
    *transferred = 0;
    uint32_t n = data == nullptr ? 0 : std::min<uint32_t>(setup.wLength, length);
    const bool in = (setup.bmRequestType & 0x80) != 0;
    bool ok = false;
    uint32_t error = kErrorGenFailure;
    bool reconfigure = false;

    if (generation != generation_) {
        error = kErrorNoDevice;
    } else if (failControls_ > 0) {
        --failControls_;
        error = failControlError_;
    } else if ((setup.bmRequestType & 0x60) != 0x40) {
        // Only vendor requests are answered; anything else stalls.
    } else if (setup.bRequest == REQ_START_FRAME && !in) {
        ok = startFrame(lock, generation, pipes);
        error = ok ? kErrorNone : lastError();
        n = 0;
    } else if (setup.bRequest == REQ_PORT && setup.wValue == CONFIG_PORT) {
        ok = true;
        if (in) {
            for (uint32_t i = 0; i < n; ++i) data[i] = i < config_.size() ? config_[i] : 0;
        } else if (n == 2 && data[0] == kConfigReload[0] && data[1] == kConfigReload[1]) {
            reconfigure = true;
        }
    } else if (setup.bRequest == REQ_PORT &&
               (setup.wValue == FLASH_PORT || setup.wValue == FLASH_PORT_CONT)) {
        if (in) {
            const int got = flash_.read(setup.wValue, data, n);
            ok = got >= 0;
            n = ok ? static_cast<uint32_t>(got) : 0;
        } else {
            ok = flash_.write(setup.wValue, data, n);
        }
    }

    if (ok) {
        *transferred = n;
        error = kErrorNone;
    }
    record({Kind::Control, setup, 0, length, ok ? n : 0, ok, error});
    if (!ok) setLastError(error);
    if (reconfigure) {
        // The board loads its new configuration: it drops off the bus now and
        // announces itself again, with current firmware, a little later.
        leaveBus();
        config_[1] = kCurrentFirmwareMajor;
        config_[2] = 0;
        comebackPending_ = true;
        comebackAt_ = Clock::now() + std::chrono::milliseconds(reconfigureDelayMs_);
        if (!comebackThread_.joinable()) comebackThread_ = std::thread(&BoardModel::comebackLoop, this);
        wake_.notify_all();
        lock.unlock();
        tellBus(false);
    }
    return ok;
}

bool BoardModel::read(uint64_t generation, const Pipes& pipes, uint8_t pipe, uint8_t* data, uint32_t length,
                    uint32_t* received) {
    std::unique_lock<std::mutex> lock(mutex_);
    *received = 0;
    uint32_t error = kErrorNone;
    if (generation != generation_) {
        error = kErrorNoDevice;
    } else if (pipe != kFramePipe) {
        error = kErrorGenFailure;
    } else if (failReads_ > 0 && readsBeforeFail_ == 0) {
        --failReads_;
        error = failReadError_;
    } else {
        if (failReads_ > 0) --readsBeforeFail_;
        if (frameOpen_ && framePos_ < frameLength_) {
            uint32_t n = std::min(length, frameLength_ - framePos_);
            if (maxReadBytes_ != 0) n = std::min(n, maxReadBytes_);
            std::memcpy(data, frame_.data() + framePos_, n);
            framePos_ += n;
            *received = n;
        } else if (frameOpen_) {
            frameOpen_ = false;  // the empty packet that closes the frame
        } else {
            error = waitTimeout(lock, generation, pipes, pipes.readTimeout) ? kErrorSemTimeout : kErrorNoDevice;
        }
    }
    const bool ok = error == kErrorNone;
    record({Kind::Read, {}, pipe, length, *received, ok, error});
    if (!ok) setLastError(error);
    return ok;
}

void BoardModel::comebackLoop() {
    pthread_setname_np(pthread_self(), "sim-board");
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!comebackPending_) {
            wake_.wait(lock);
            continue;
        }
        if (Clock::now() < comebackAt_) {
            wake_.wait_until(lock, comebackAt_);
            continue;
        }
        comebackPending_ = false;
        present_ = true;
        lock.unlock();
        tellBus(true);
        lock.lock();
    }
}

}  // namespace usb
