#pragma once
// What the flash protocol and the firmware update need of the board: the
// vendor control transfers, the control pipe's time-out, the configuration
// block, the flash identity kept in the device object, and a millisecond tick
// count. The device adapter (firmware_update.cpp) maps it onto _KestrelDevice;
// tests provide their own.
#include <cstdint>

class FlashLink {
public:
    virtual ~FlashLink() = default;

    // Bytes received, or -1.
    virtual int controlRead(uint8_t request, uint16_t value, uint16_t length, uint8_t* data) = 0;
    // True only when the whole length was sent.
    virtual bool controlWrite(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data) = 0;
    virtual bool setPipeTimeout(uint8_t pipe, uint32_t milliseconds) = 0;
    virtual bool readConfig(int length, uint8_t* data) = 0;
    virtual uint32_t& flashId() = 0;

    // Milliseconds; only differences are used, so the counter may wrap.
    virtual uint32_t tickCount();
};
