#include "usb/libusb/libusb_backend.h"

#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/debug_log.h"
#include "base/status_line.h"
#include "settings/settings.h"
#include "usb/board_protocol.h"
#include "usb/usb_ids.h"

namespace usb {

namespace {

// A freshly arrived device gets a moment for udev to set its permissions.
constexpr auto kArrivalSettle = std::chrono::milliseconds(250);
// Without hotplug events, how often the bus is listed for new boards.
constexpr auto kArrivalPoll = std::chrono::seconds(1);
// libusb takes a time-out of 0 as none at all: a handle is bounded from the
// moment it opens, and 0 asked for later means this bound, not for ever.
constexpr uint32_t kDefaultTimeoutMs = 500;
constexpr uint32_t kLongestTimeoutMs = 5000;

uint32_t errorCode(int libusbError) {
    switch (libusbError) {
        case LIBUSB_ERROR_TIMEOUT: return kErrorSemTimeout;
        case LIBUSB_ERROR_NO_DEVICE: return kErrorNoDevice;
        case LIBUSB_ERROR_ACCESS: return kErrorAccessDenied;
        case LIBUSB_ERROR_BUSY: return kErrorBusy;
        default: return kErrorGenFailure;
    }
}

std::vector<UsbId> loadUsbIds() {
    std::string folder = settingsFolder();
    if (folder.empty()) return {};
    if (folder.back() != '/') folder += '/';
    std::ifstream file(folder + "usb-ids");
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    return parseUsbIds(text.str());
}

std::string pathOf(libusb_device* device, const libusb_device_descriptor& d) {
    char path[64];
    std::snprintf(path, sizeof path, "usb:%u-%u:%04x:%04x", libusb_get_bus_number(device),
                  libusb_get_device_address(device), d.idVendor, d.idProduct);
    return path;
}

struct DeviceList {
    libusb_device** list = nullptr;
    ssize_t count = 0;
    explicit DeviceList(libusb_context* context) {
        count = libusb_get_device_list(context, &list);
        if (count < 0) count = 0;
    }
    ~DeviceList() {
        if (list) libusb_free_device_list(list, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
};

bool listed(const std::vector<UsbId>& ids, const libusb_device_descriptor& d) {
    return std::find(ids.begin(), ids.end(), UsbId{d.idVendor, d.idProduct}) != ids.end();
}

void explainPermission(const std::string& path, const libusb_device_descriptor& d) {
    debugPrintf(
        "%s: the capture board is there but this user may not open it (permission denied).\n"
        "Install the udev rule that gives the user at the seat access, then plug the board in again:\n"
        "  sed -e s/VENDOR/%04x/ -e s/PRODUCT/%04x/ resources/udev/70-kestrel-capture.rules.in"
        " | sudo tee /etc/udev/rules.d/70-kestrel-capture.rules\n"
        "  sudo udevadm control --reload-rules && sudo udevadm trigger\n",
        path.c_str(), d.idVendor, d.idProduct);
}

void explainBusy(const std::string& path) {
    debugPrintf(
        "%s: the capture board is in use by another program (its interface is claimed).\n"
        "Close the other capture program; the board is opened again when it is plugged in.\n",
        path.c_str());
    setStatusLine("The capture board is in use by another program");
}

// The interface that carries the bulk IN frame pipe, from the active
// configuration's descriptors; -1 when there is none (or the descriptors
// cannot be read), with the reason on the debug console.
int frameInterface(libusb_device* device, const std::string& path) {
    libusb_config_descriptor* config = nullptr;
    int result = libusb_get_active_config_descriptor(device, &config);
    if (result != 0) result = libusb_get_config_descriptor(device, 0, &config);
    if (result != 0) {
        debugPrintf("%s: the configuration descriptor cannot be read (%s)\n", path.c_str(), libusb_error_name(result));
        return -1;
    }
    int found = -1;
    for (int i = 0; i < config->bNumInterfaces && found < 0; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting && found < 0; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = setting.endpoint[e];
                if (ep.bEndpointAddress == kFramePipe &&
                    (ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK) {
                    found = setting.bInterfaceNumber;
                    break;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (found < 0) debugPrintf("%s: no bulk IN endpoint 0x82 in the descriptors; not a capture board\n", path.c_str());
    return found;
}

class LibusbInterface : public Interface {
public:
    LibusbInterface(libusb_device_handle* handle, int interfaceNumber)
        : handle_(handle), interfaceNumber_(interfaceNumber) {}
    ~LibusbInterface() override {
        libusb_release_interface(handle_, interfaceNumber_);
        libusb_close(handle_);
    }

    bool setPipeTimeout(uint8_t pipe, uint32_t milliseconds) override {
        if (milliseconds == 0 || milliseconds > kLongestTimeoutMs) milliseconds = kLongestTimeoutMs;
        if (pipe == 0) controlTimeout_ = milliseconds;
        else if (pipe == kFramePipe) readTimeout_ = milliseconds;
        else return fail(kErrorGenFailure);
        return true;
    }

    // libusb hands bulk data over as it comes; there is nothing to switch.
    bool setRawIo(uint8_t, bool) override { return true; }

    bool controlTransfer(const SetupPacket& setup, uint8_t* data, uint32_t length,
                         uint32_t* transferred) override {
        *transferred = 0;
        const uint16_t n = data == nullptr ? 0 : static_cast<uint16_t>(std::min<uint32_t>(setup.wLength, length));
        const int result = libusb_control_transfer(handle_, setup.bmRequestType, setup.bRequest, setup.wValue,
                                                   setup.wIndex, data, n, controlTimeout_);
        if (result < 0) return fail(errorCode(result));
        *transferred = static_cast<uint32_t>(result);
        return true;
    }

    bool readPipe(uint8_t pipe, uint8_t* data, uint32_t length, uint32_t* received) override {
        int got = 0;
        const int result =
            libusb_bulk_transfer(handle_, pipe, data, static_cast<int>(length), &got, readTimeout_);
        *received = got > 0 ? static_cast<uint32_t>(got) : 0;  // a time-out still reports what came
        if (result != 0) return fail(errorCode(result));
        return true;
    }

private:
    static bool fail(uint32_t code) {
        setLastError(code);
        return false;
    }

    libusb_device_handle* handle_;
    int interfaceNumber_;
    // Accessed by one thread at a time (the device lock).
    uint32_t controlTimeout_ = kDefaultTimeoutMs;
    uint32_t readTimeout_ = kDefaultTimeoutMs;
};

class LibusbBackend : public Backend {
public:
    LibusbBackend(libusb_context* context, bool hotplug) : context_(context), ids_(loadUsbIds()) {
        if (hotplug && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
            libusb_hotplug_register_callback(context_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                             LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY,
                                             LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, this,
                                             &hotplug_) == LIBUSB_SUCCESS) {
            hotplugRegistered_ = true;
        }
        events_ = std::thread([this] { eventLoop(); });
    }

    ~LibusbBackend() override {
        stopping_ = true;
        if (hotplugRegistered_) libusb_hotplug_deregister_callback(context_, hotplug_);  // wakes the loop
        libusb_interrupt_event_handler(context_);
        if (events_.joinable()) events_.join();
        libusb_exit(context_);
    }

    std::vector<std::string> enumerate(const Guid& interfaceClass) override {
        if (!(interfaceClass == deviceInterfaceGuid)) return {};
        std::vector<UsbId> ids = loadUsbIds();  // the file may have changed since the start
        {
            std::lock_guard<std::mutex> lock(idsMutex_);
            ids_ = ids;
        }
        return listedPaths(ids);
    }

    std::unique_ptr<Interface> open(const std::string& path) override {
        DeviceList devices(context_);
        for (ssize_t i = 0; i < devices.count; ++i) {
            libusb_device_descriptor d;
            if (libusb_get_device_descriptor(devices.list[i], &d) != 0 || pathOf(devices.list[i], d) != path)
                continue;
            const int number = frameInterface(devices.list[i], path);
            if (number < 0) {
                setLastError(kErrorGenFailure);
                return nullptr;
            }
            libusb_device_handle* handle = nullptr;
            int result = libusb_open(devices.list[i], &handle);
            if (result == 0) {
                libusb_set_auto_detach_kernel_driver(handle, 1);
                result = libusb_claim_interface(handle, number);
                if (result != 0) libusb_close(handle);
            }
            if (result != 0) {
                explainFailure(path, d, result);
                setLastError(errorCode(result));
                return nullptr;
            }
            return std::make_unique<LibusbInterface>(handle, number);
        }
        debugPrintf("%s: the board is gone\n", path.c_str());
        setLastError(kErrorNoDevice);
        return nullptr;
    }

    void setArrivalHandler(ArrivalHandler handler) override {
        std::lock_guard<std::mutex> lock(handlerMutex_);
        handler_ = std::move(handler);
    }

private:
    // The paths of the devices on the bus that the ids list, in order.
    std::vector<std::string> listedPaths(const std::vector<UsbId>& ids) {
        std::vector<std::string> paths;
        DeviceList devices(context_);
        for (ssize_t i = 0; i < devices.count; ++i) {
            libusb_device_descriptor d;
            if (libusb_get_device_descriptor(devices.list[i], &d) == 0 && listed(ids, d))
                paths.push_back(pathOf(devices.list[i], d));
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    static void explainFailure(const std::string& path, const libusb_device_descriptor& d, int result) {
        switch (result) {
            case LIBUSB_ERROR_ACCESS:
                explainPermission(path, d);
                setStatusLine("No permission to open the capture board (see the debug console)");
                break;
            case LIBUSB_ERROR_BUSY: explainBusy(path); break;
            case LIBUSB_ERROR_NO_DEVICE:
            case LIBUSB_ERROR_NOT_FOUND: debugPrintf("%s: the board is gone\n", path.c_str()); break;
            default: debugPrintf("%s: cannot open the board (%s)\n", path.c_str(), libusb_error_name(result));
        }
    }

    // Without hotplug: the listed boards present now; a path not seen at the
    // previous look is an arrival.
    void pollArrivals() {
        std::vector<UsbId> ids;
        {
            std::lock_guard<std::mutex> lock(idsMutex_);
            ids = ids_;
        }
        std::vector<std::string> present = listedPaths(ids);
        for (const std::string& path : present)
            if (std::find(polled_.begin(), polled_.end(), path) == polled_.end())
                arrivalAt_ = (std::chrono::steady_clock::now() + kArrivalSettle).time_since_epoch().count();
        polled_ = std::move(present);
    }

    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event, void* self) {
        auto* backend = static_cast<LibusbBackend*>(self);
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(device, &d) != 0) return 0;
        bool board;
        {
            std::lock_guard<std::mutex> lock(backend->idsMutex_);
            board = listed(backend->ids_, d);
        }
        // Raised later from the event loop, outside libusb's callback.
        if (board)
            backend->arrivalAt_ = (std::chrono::steady_clock::now() + kArrivalSettle).time_since_epoch().count();
        return 0;  // stay registered
    }

    void eventLoop() {
        pthread_setname_np(pthread_self(), "usb-events");
        auto nextPoll = std::chrono::steady_clock::now();
        if (!hotplugRegistered_) {
            debugPrintf("USB hotplug events are not available: looking for boards once a second\n");
            pollArrivals();  // what is there at the start is no arrival
            nextPoll += kArrivalPoll;
        }
        while (!stopping_) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(context_, &tv, nullptr);
            if (!hotplugRegistered_ && std::chrono::steady_clock::now() >= nextPoll) {
                pollArrivals();
                nextPoll = std::chrono::steady_clock::now() + kArrivalPoll;
            }
            const int64_t due = arrivalAt_.load();
            if (due != 0 && std::chrono::steady_clock::now().time_since_epoch().count() >= due) {
                arrivalAt_ = 0;
                std::lock_guard<std::mutex> lock(handlerMutex_);
                if (handler_) handler_(deviceInterfaceGuid);
            }
        }
    }

    libusb_context* context_;
    std::mutex idsMutex_;
    std::vector<UsbId> ids_;  // guarded by idsMutex_
    libusb_hotplug_callback_handle hotplug_{};
    bool hotplugRegistered_ = false;
    std::atomic<bool> stopping_{false};
    // When to raise a pending arrival (steady clock ticks, 0 = none). The
    // hotplug callback runs on whichever thread handles libusb's events: the
    // event thread, or a thread inside a synchronous transfer.
    std::atomic<int64_t> arrivalAt_{0};
    std::vector<std::string> polled_;  // event thread only
    std::thread events_;
    std::mutex handlerMutex_;  // held while the handler runs
    ArrivalHandler handler_;
};

}  // namespace

std::unique_ptr<Backend> makeLibusbBackend(bool hotplug) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) return nullptr;
    return std::make_unique<LibusbBackend>(context, hotplug);
}

}  // namespace usb
