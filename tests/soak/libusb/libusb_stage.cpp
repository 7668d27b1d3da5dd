// The soak's libusb stage: the same board model at the kernel's USB device
// interface (the usbdevfs adapter over a umockdev testbed), reached through
// the libusb backend as the application reaches a real board. The model's
// unplug and replug take the device node out and put it back with uevents,
// so arrivals come through libusb's hotplug events.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "soak/soak_stage.h"
#include "usb/libusb/libusb_backend.h"
#include "usbemu/usbdevfs_board.h"

namespace soak {
namespace {

// A settings folder of its own whose usb-ids lists the emulated board, so
// the user's own settings are never read or written.
class PrivateSettings {
public:
    PrivateSettings() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kc-soak-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) return;
        root_ = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = old, hadSaved_ = true;
        ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
        std::filesystem::create_directories(root_ + "/Wren Capture");
        std::ofstream ids(root_ + "/Wren Capture/usb-ids");
        ids << "# the emulated board\n" << std::hex << usbemu::kVendor << ':' << usbemu::kProduct << "\n";
        ok_ = bool(ids);
    }
    ~PrivateSettings() {
        if (hadSaved_) ::setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
        else ::unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }
    bool ok() const { return ok_; }

private:
    std::string root_, saved_;
    bool hadSaved_ = false, ok_ = false;
};

// Owns the testbed and the libusb backend; the backend goes first, so its
// event thread never sees the testbed taken down under it.
class LibusbStageBackend final : public usb::Backend {
public:
    LibusbStageBackend(std::unique_ptr<PrivateSettings> settings, std::unique_ptr<usbemu::UsbdevfsBoard> board,
                       std::unique_ptr<usb::Backend> backend)
        : settings_(std::move(settings)), board_(std::move(board)), backend_(std::move(backend)) {}
    ~LibusbStageBackend() override {
        backend_.reset();
        board_.reset();
    }
    std::vector<std::string> enumerate(const usb::Guid& interfaceClass) override {
        return backend_->enumerate(interfaceClass);
    }
    std::unique_ptr<usb::Interface> open(const std::string& path) override { return backend_->open(path); }
    void setArrivalHandler(usb::ArrivalHandler handler) override { backend_->setArrivalHandler(std::move(handler)); }

private:
    std::unique_ptr<PrivateSettings> settings_;
    std::unique_ptr<usbemu::UsbdevfsBoard> board_;
    std::unique_ptr<usb::Backend> backend_;
};

}  // namespace

Stage libusbStage() {
    Stage stage;
    stage.name = "libusb";
    stage.available = [](std::string* why) { return usbemu::emulationAvailable(why); };
    stage.makeBackend = [](usb::SimBoard& board) -> std::unique_ptr<usb::Backend> {
        auto settings = std::make_unique<PrivateSettings>();
        if (!settings->ok()) {
            std::fprintf(stderr, "libusb stage: cannot write a private usb-ids\n");
            return nullptr;
        }
        auto device = std::make_unique<usbemu::UsbdevfsBoard>(board);
        std::unique_ptr<usb::Backend> backend = usb::makeLibusbBackend();
        if (!backend) {
            std::fprintf(stderr, "libusb stage: libusb cannot be started\n");
            return nullptr;
        }
        return std::make_unique<LibusbStageBackend>(std::move(settings), std::move(device), std::move(backend));
    };
    return stage;
}

void prepareLibusbStage(char** argv) { usbemu::runUnderUmockdev(argv); }

}  // namespace soak
