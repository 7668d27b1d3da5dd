#include "usb/sim_flash.h"

// Placeholder until the flash model lands: a board whose flash answers nothing.
namespace usb {
struct SimFlash::State {};
SimFlash::SimFlash() : state_(new State) {}
SimFlash::~SimFlash() { delete state_; }
bool SimFlash::write(uint16_t, const uint8_t*, uint32_t) { return false; }
int SimFlash::read(uint16_t, uint8_t*, uint32_t) { return -1; }
}  // namespace usb
