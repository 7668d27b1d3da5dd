#include "usb/sim/sim_board.h"

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

// The board's one interface. Its pipe time-outs live here, as they belong to
// the opened handle; it is used by one thread at a time (the device lock).
class SimInterface : public Interface {
public:
    SimInterface(BoardModel* board, uint64_t generation) : board_(board), generation_(generation) {}

    ~SimInterface() override {
        std::lock_guard<std::mutex> lock(board_->mutex_);
        board_->record({BoardModel::Kind::Close, {}, 0, 0, 0, true, kErrorNone});
    }

    bool setPipeTimeout(uint8_t pipe, uint32_t milliseconds) override {
        std::lock_guard<std::mutex> lock(board_->mutex_);
        bool ok = generation_ == board_->generation_ && (pipe == 0 || pipe == kFramePipe);
        const uint32_t error = generation_ != board_->generation_ ? kErrorNoDevice : kErrorGenFailure;
        if (ok) (pipe == 0 ? pipes_.controlTimeout : pipes_.readTimeout) = milliseconds;
        board_->record({BoardModel::Kind::PipeTimeout, {}, pipe, milliseconds, 0, ok, ok ? kErrorNone : error});
        if (!ok) setLastError(error);
        return ok;
    }

    bool setRawIo(uint8_t pipe, bool on) override {
        std::lock_guard<std::mutex> lock(board_->mutex_);
        bool ok = generation_ == board_->generation_ && pipe == kFramePipe;
        const uint32_t error = generation_ != board_->generation_ ? kErrorNoDevice : kErrorGenFailure;
        board_->record({BoardModel::Kind::RawIo, {}, pipe, on ? 1u : 0u, 0, ok, ok ? kErrorNone : error});
        if (!ok) setLastError(error);
        return ok;
    }

    bool controlTransfer(const SetupPacket& setup, uint8_t* data, uint32_t length,
                         uint32_t* transferred) override {
        return board_->control(generation_, pipes_, setup, data, length, transferred);
    }

    bool readPipe(uint8_t pipe, uint8_t* data, uint32_t length, uint32_t* received) override {
        return board_->read(generation_, pipes_, pipe, data, length, received);
    }

private:
    BoardModel* board_;
    uint64_t generation_;
    BoardModel::Pipes pipes_;
};

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

// The in-process adapter raises an arrival whenever the board is back.
SimBoard::SimBoard() {
    setBusListener([this](bool present) {
        if (!present) return;
        std::lock_guard<std::mutex> lock(handlerMutex_);
        if (handler_) handler_(kInterfaceClass);
    });
}

SimBoard::~SimBoard() { setBusListener(nullptr); }

std::vector<std::string> SimBoard::enumerate(const Guid& interfaceClass) {
    if (!present() || !(interfaceClass == kInterfaceClass)) return {};
    return {kPath};
}

std::unique_ptr<Interface> SimBoard::open(const std::string& path) {
    // Taken before the test: a board that leaves meanwhile makes the handle stale.
    const uint64_t generation = this->generation();
    const bool ok = present() && path == kPath;
    recordTransfer({Kind::Open, {}, 0, 0, 0, ok, ok ? kErrorNone : kErrorNoDevice});
    if (!ok) {
        setLastError(kErrorNoDevice);
        return nullptr;
    }
    return std::make_unique<SimInterface>(this, generation);
}

void SimBoard::setArrivalHandler(ArrivalHandler handler) {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    handler_ = std::move(handler);
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

void BoardModel::setConfig(uint8_t hardware, uint8_t major, uint8_t minor, uint8_t fourth) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = {hardware, major, minor, fourth};
}

std::array<uint8_t, 4> BoardModel::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void BoardModel::setPaced(bool paced) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (paced && !paced_) epoch_ = Clock::now() - framePeriods(nextFrame_);  // no burst of "late" frames
    paced_ = paced;
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
