#include "soak_stage.h"

namespace soak {
namespace {

// The core talks to the board model directly, as the demo does.
class InProcessBackend final : public usb::Backend {
public:
    explicit InProcessBackend(usb::SimBoard& board) : board_(board) {}
    std::vector<std::string> enumerate(const usb::Guid& interfaceClass) override {
        return board_.enumerate(interfaceClass);
    }
    std::unique_ptr<usb::Interface> open(const std::string& path) override { return board_.open(path); }
    void setArrivalHandler(usb::ArrivalHandler handler) override { board_.setArrivalHandler(std::move(handler)); }

private:
    usb::SimBoard& board_;
};

}  // namespace

std::vector<Stage> availableStages() {
    return {
        {"sim", [](usb::SimBoard& board) { return std::make_unique<InProcessBackend>(board); }},
    };
}

}  // namespace soak
