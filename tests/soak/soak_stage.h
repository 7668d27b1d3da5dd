#pragma once
// A stage of the fault soak: how the capture core reaches the simulated
// board. The fault driver always acts on the board model (usb::SimBoard);
// a stage only decides which backend the core talks through: in-process, or
// (where the build has the emulation) through libusb and the board emulated
// at the kernel's USB device interface.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/sim/sim_board.h"

namespace soak {

struct Stage {
    std::string name;
    // Whether the stage can run on this machine (empty: always); a stage that
    // cannot is skipped, saying why, and is not a failure.
    std::function<bool(std::string* why)> available;
    // Null when the stage cannot run on this machine (the reason goes to stderr).
    std::function<std::unique_ptr<usb::Backend>(usb::SimBoard& board)> makeBackend;
};

// The stages this build knows, in the order they run.
std::vector<Stage> availableStages();
// Call first in main(): a stage may need the process started again under a
// preload library.
void prepareStages(char** argv);

}  // namespace soak
