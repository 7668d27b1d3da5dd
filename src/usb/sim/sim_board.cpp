#include "usb/sim/sim_board.h"

namespace usb {

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

}  // namespace usb
