#pragma once
// The USB layer: what the device link and the flash protocol need of the
// platform's USB stack, and nothing more. Two backends implement it: libusb
// for real boards (usb/libusb) and the simulated board (usb/sim/sim_board.h,
// over the board model of usb/sim/board_model.h).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace usb {

// A device interface class, 16 bytes in the little-endian Windows GUID layout.
struct Guid {
    uint8_t bytes[16];
    friend bool operator==(const Guid&, const Guid&) = default;
};

// Reason codes returned by lastError(); the values are the ones callers test.
constexpr uint32_t kErrorNone = 0;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSemTimeout = 121;   // a pipe's transfer time-out expired
constexpr uint32_t kErrorNoDevice = 1167;    // the device is gone
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorBusy = 170;         // another program holds the device

// Pipe policies (values as the device link passes them).
constexpr uint8_t kPipeTransferTimeout = 3;
constexpr uint8_t kPipeRawIo = 7;

// The standard 8-byte USB setup packet.
struct SetupPacket {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

// One opened device interface. Every call is synchronous and bounded by the
// pipe's transfer time-out. On failure the calling thread's lastError() says why.
class Interface {
public:
    virtual ~Interface() = default;
    // Pipe 0 is the default control pipe; 0x82 the bulk IN pipe.
    virtual bool setPipeTimeout(uint8_t pipe, uint32_t milliseconds) = 0;
    virtual bool setRawIo(uint8_t pipe, bool on) = 0;
    // Control transfer on pipe 0; data may be null when wLength is 0.
    virtual bool controlTransfer(const SetupPacket& setup, uint8_t* data, uint32_t length,
                                 uint32_t* transferred) = 0;
    virtual bool readPipe(uint8_t pipe, uint8_t* data, uint32_t length, uint32_t* received) = 0;
};

// Called on a backend thread whenever a device of a class arrives.
using ArrivalHandler = std::function<void(const Guid& interfaceClass)>;

class Backend {
public:
    virtual ~Backend() = default;
    // Paths of the present interfaces of a class, in a stable order.
    virtual std::vector<std::string> enumerate(const Guid& interfaceClass) = 0;
    // Opens one interface; null on failure (lastError() says why).
    virtual std::unique_ptr<Interface> open(const std::string& path) = 0;
    // Arrival notifications; an empty handler stops them.
    virtual void setArrivalHandler(ArrivalHandler handler) = 0;
};

// The calling thread's last failure reason (thread-local, like GetLastError).
uint32_t lastError();
void setLastError(uint32_t code);

}  // namespace usb
