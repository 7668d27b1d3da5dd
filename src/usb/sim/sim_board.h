#pragma once
// The in-process adapter of the simulated board (board_model.h): the model as
// a Backend with one interface, "sim:0", of the board's interface class. A
// board that comes back (a replug, the end of a reconfigure) is raised as an
// arrival.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/board_protocol.h"
#include "usb/sim/board_model.h"
#include "usb/usb_backend.h"

namespace usb {

// The in-process adapter: the model as a Backend.
class SimBoard : public BoardModel, public Backend {
public:
    // The board's interface class.
    static constexpr Guid kInterfaceClass = deviceInterfaceGuid;
    static constexpr const char* kPath = "sim:0";

    SimBoard();
    ~SimBoard() override;

    // Backend.
    std::vector<std::string> enumerate(const Guid& interfaceClass) override;
    std::unique_ptr<Interface> open(const std::string& path) override;
    void setArrivalHandler(ArrivalHandler handler) override;

private:
    std::mutex handlerMutex_;  // held while the handler runs
    ArrivalHandler handler_;
};

}  // namespace usb
