#pragma once
// The simulated board's SPI flash behind the flash port (REQ_PORT with
// wValue 16 = last transfer of a command, 18 = the command goes on).
//
// A 512 KB serial flash: identification, status register with busy bit and
// block-protection bits, write-enable latch, 64 KB block erase to 0xFF, page
// programming that can only clear bits, read data streaming across transfers,
// and busy times after erase, program and status writes. Tests can make it
// misbehave (stuck busy, a page reading back wrong, the board unplugged after
// a number of transfers).
#include <cstdint>
#include <functional>

#include "usb/board_protocol.h"

namespace usb {

class SimFlash {
public:
    static constexpr uint32_t kSize = spi_flash::kSize;
    static constexpr uint32_t kBlockSize = spi_flash::kBlockSize;
    static constexpr uint32_t kPageSize = spi_flash::kPageSize;

    SimFlash();
    ~SimFlash();
    SimFlash(const SimFlash&) = delete;
    SimFlash& operator=(const SimFlash&) = delete;

    // An OUT transfer on the flash port. False when the board refuses it.
    bool write(uint16_t port, const uint8_t* data, uint32_t length);
    // An IN transfer; returns the bytes delivered, or -1 on failure.
    int read(uint16_t port, uint8_t* data, uint32_t length);

    struct State;  // the model's internals (sim_flash.cpp)
    State& state() { return *state_; }

    // --- Chip ---
    // The three identification bytes in read order. The four supported
    // chips: 1F 44 01, 1F 84 01 (the default), 20 20 13, 20 80 13. The 1F 44 01
    // chip reports bit 4 set and protects with bits 0x8C; the others with 0x1C.
    void setIdentification(uint8_t manufacturer, uint8_t type, uint8_t capacity);
    // Sets the status register bits other than busy and write-enable (the
    // protection bits, and bit 4 of the 1F 44 01 chip, which
    // setIdentification sets for that chip).
    void setProtectionBits(uint8_t bits);
    uint8_t statusRegister() const;

    // --- Timing ---
    struct Timing {
        uint32_t blockEraseUs = 600000;
        uint32_t pageProgramUs = 1000;
        uint32_t statusWriteUs = 15000;
    };
    void setTiming(const Timing& timing);
    // Multiplies every busy time; 0 makes the chip never busy.
    void setTimeScale(double scale);
    // Microsecond clock for the busy times (default: the steady clock).
    void setClock(std::function<uint64_t()> nowUs);
    // Sum of the busy times started so far, in microseconds (after scaling).
    uint64_t busyTimeUs() const;

    // --- Content ---
    uint8_t* data();  // kSize bytes; only touch while no transfer runs
    const uint8_t* data() const;
    void fill(uint8_t value);
    // A board as it leaves the factory for a device type: an old FPGA
    // configuration whose bytes 40-43 hold the type's identity word, and the
    // board's own data at 0x7E000 (8 bytes) and 0x7F080 (128 bytes).
    void loadFactoryContent(uint8_t deviceType);
    static void boardData(uint8_t deviceType, uint8_t at7E000[8], uint8_t at7F080[128]);

    // --- Faults ---
    void setStuckBusy(bool on);
    // Reads of the 256-byte page at this address deliver one bit flipped
    // (-1 clears the fault).
    void setBadPage(int64_t address);
    // After `transfers` more flash transfers the flash stops answering: every
    // transfer fails until attach(), as if the board had been pulled out in
    // the middle of a command. (The board itself stays on the bus; a test
    // that wants the arrival too unplugs and replugs the SimBoard.)
    void unplugAfter(uint64_t transfers);
    void attach();
    bool attached() const;

    // --- Counters ---
    uint64_t transfers() const;
    uint32_t blockErases() const;
    uint32_t pagePrograms() const;

private:
    State* state_;
};

}  // namespace usb
