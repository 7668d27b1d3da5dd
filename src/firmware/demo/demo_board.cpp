#include "firmware/demo/demo_board.h"

#include <cstdlib>
#include <cstring>

#include "firmware/firmware_resources.h"
#include "firmware/kept_board_data.h"
#include "usb/sim/sim_board.h"

extern const FirmwareResource demoFirmwareResources[];
extern const size_t demoFirmwareResourcesCount;

void configureDemoBoard(usb::SimBoard& board) {
    constexpr uint8_t kDeviceType = 4;
    setFirmwareResources(demoFirmwareResources, demoFirmwareResourcesCount);
    // The demo board's data is kept apart from any real board's.
    if (const std::string folder = keptDataFolder(); !folder.empty()) setKeptDataFolder(folder + "demo/");
    board.flash().loadFactoryContent(kDeviceType);
    const char* wanted = std::getenv("KESTREL_DEMO_FIRMWARE_UPDATE");
    if (wanted && std::strcmp(wanted, "1") == 0) board.setConfig(kDeviceType, 5, 0, 0);
}
