#pragma once
// The board's comings and goings on the status line (UI thread), through
// one BoardStatus for the program.
namespace usb {
class Backend;
}

// After the capture core started: no board listed says so (and where to
// choose one), unless an update at start left the board restarting.
void reportBoardAtStart(usb::Backend& backend);
// After an arrival was handled.
void reportBoardArrival();
// The reader found the open board gone.
void reportBoardLeft();
// The firmware update dialog ended with this result (above 0: updated).
void reportFirmwareUpdateResult(int result);
// The chooser opened a board; its own text is on the status line.
void reportBoardChosen();
