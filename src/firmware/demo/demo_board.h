#pragma once
// The demo's simulated board as far as the firmware is concerned.
namespace usb {
class SimBoard;
}

// Gives the demo its synthetic firmware images and the board a flash as it
// leaves the factory (device type 4). With KESTREL_DEMO_FIRMWARE_UPDATE=1 in
// the environment the board reports an old firmware (5.0), so the demo starts
// with the firmware update. Call once, before the capture core starts.
void configureDemoBoard(usb::SimBoard& board);
