#pragma once
// The simulated board's SPI flash behind the flash port (REQ_PORT with
// wValue 16 = last transfer of a command, 18 = the command goes on).
#include <cstdint>

namespace usb {

class SimFlash {
public:
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

private:
    State* state_;
};

}  // namespace usb
