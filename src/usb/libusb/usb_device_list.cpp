#include "usb/libusb/usb_device_list.h"

#include <dirent.h>
#include <libusb.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <tuple>
#include <utility>

#include "usb/board_protocol.h"

namespace usb {

namespace {

std::string readAttribute(const std::string& folder, const char* name) {
    std::ifstream file(folder + "/" + name);
    std::string line;
    if (file) std::getline(file, line);
    return std::string(detail::trim(line));
}

struct Names {
    std::string manufacturer;
    std::string product;
};

// The kernel's names of the devices, keyed by bus and address.
std::map<std::pair<int, int>, Names> sysfsNames() {
    std::map<std::pair<int, int>, Names> names;
    const std::string root = "/sys/bus/usb/devices";
    DIR* dir = opendir(root.c_str());
    if (!dir) return names;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string folder = root + "/" + entry->d_name;
        const std::string bus = readAttribute(folder, "busnum");
        const std::string address = readAttribute(folder, "devnum");
        if (bus.empty() || address.empty()) continue;  // an interface, not a device
        try {
            names[{std::stoi(bus), std::stoi(address)}] = {readAttribute(folder, "manufacturer"),
                                                           readAttribute(folder, "product")};
        } catch (...) {
            // not numbers: not a device folder we understand
        }
    }
    closedir(dir);
    return names;
}

bool hasCaptureInterface(const libusb_config_descriptor& config) {
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC) continue;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if (endpoint.bEndpointAddress == kFramePipe &&
                    (endpoint.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK)
                    return true;
            }
        }
    }
    return false;
}

// Any configuration will do: the board may not be configured yet.
bool hasCaptureInterface(libusb_device* device, uint8_t configurations) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) == 0) {
        const bool found = hasCaptureInterface(*config);
        libusb_free_config_descriptor(config);
        if (found) return true;
    }
    for (uint8_t index = 0; index < configurations; ++index) {
        if (libusb_get_config_descriptor(device, index, &config) != 0) continue;
        const bool found = hasCaptureInterface(*config);
        libusb_free_config_descriptor(config);
        if (found) return true;
    }
    return false;
}

std::string stringDescriptor(libusb_device_handle* handle, uint8_t index) {
    if (index == 0) return {};
    unsigned char text[256];
    const int length = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
    return length > 0 ? std::string(detail::trim(std::string_view(reinterpret_cast<char*>(text), size_t(length))))
                      : std::string();
}

}  // namespace

bool listedBefore(const UsbDeviceInfo& a, const UsbDeviceInfo& b) {
    return std::make_tuple(!a.captureInterface, a.bus, a.address) <
           std::make_tuple(!b.captureInterface, b.bus, b.address);
}

std::vector<UsbDeviceInfo> listUsbDevices() {
    std::vector<UsbDeviceInfo> devices;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) return devices;
    const std::map<std::pair<int, int>, Names> names = sysfsNames();

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(device, &d) != 0 || d.bDeviceClass == LIBUSB_CLASS_HUB) continue;
        UsbDeviceInfo info;
        info.id = {d.idVendor, d.idProduct};
        info.bus = libusb_get_bus_number(device);
        info.address = libusb_get_device_address(device);
        if (auto found = names.find({info.bus, info.address}); found != names.end()) {
            info.manufacturer = found->second.manufacturer;
            info.product = found->second.product;
        }
        info.namesOnDevice = info.manufacturer.empty() && info.product.empty() && (d.iManufacturer || d.iProduct);
        info.captureInterface = hasCaptureInterface(device, d.bNumConfigurations);
        devices.push_back(std::move(info));
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    libusb_exit(context);
    std::sort(devices.begin(), devices.end(), listedBefore);
    return devices;
}

bool readUsbDeviceNames(UsbDeviceInfo& info) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) return false;
    bool read = false;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor d;
        if (libusb_get_bus_number(device) != info.bus || libusb_get_device_address(device) != info.address ||
            libusb_get_device_descriptor(device, &d) != 0 || d.idVendor != info.id.vendor ||
            d.idProduct != info.id.product)
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(device, &handle) != 0) break;  // not ours to open: no names then
        if (info.manufacturer.empty()) info.manufacturer = stringDescriptor(handle, d.iManufacturer);
        if (info.product.empty()) info.product = stringDescriptor(handle, d.iProduct);
        libusb_close(handle);
        read = true;
        break;
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    libusb_exit(context);
    return read;
}

}  // namespace usb
