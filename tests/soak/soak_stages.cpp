#include "soak_stage.h"

namespace soak {

#ifdef KESTREL_SOAK_LIBUSB
Stage libusbStage();                    // libusb/libusb_stage.cpp
void prepareLibusbStage(char** argv);
#endif

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
    std::vector<Stage> stages;
    stages.push_back({"sim", {}, [](usb::SimBoard& board) { return std::make_unique<InProcessBackend>(board); }});
#ifdef KESTREL_SOAK_LIBUSB
    stages.push_back(libusbStage());
#endif
    return stages;
}

void prepareStages([[maybe_unused]] char** argv) {
#ifdef KESTREL_SOAK_LIBUSB
    prepareLibusbStage(argv);
#endif
}

}  // namespace soak
