#pragma once
// A stage of the fault soak: how the capture core reaches the simulated
// board. The fault driver always acts on the board model (usb::SimBoard);
// a stage only decides which backend the core talks through. Today there is
// one, in-process; a stage that reaches the same model through libusb and a
// kernel-level emulation of the board slots in as another entry here.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/sim_board.h"

namespace soak {

struct Stage {
    std::string name;
    // Null when the stage cannot run on this machine (the reason goes to stderr).
    std::function<std::unique_ptr<usb::Backend>(usb::SimBoard& board)> makeBackend;
};

// The stages this build knows, in the order they run.
std::vector<Stage> availableStages();

}  // namespace soak
