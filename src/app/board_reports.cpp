#include "app/board_reports.h"

#include "app/board_chooser.h"
#include "app/board_status.h"
#include "base/status_line.h"
#include "core/device.h"
#include "usb/usb_backend.h"

namespace {

BoardStatus boardStatus;  // UI thread

bool streaming() { return currentDevice()->openState == Streaming; }

FirmwareVersion version() {
    if (currentDevice() != &kestrelDevice) return {};
    return {kestrelDevice.firmwareMajor, kestrelDevice.firmwareMinor};
}

void show(const std::string& text) {
    if (!text.empty()) setStatusLine(text);
}

}  // namespace

void reportBoardAtStart(usb::Backend& backend) {
    const bool present = !backend.enumerate(deviceInterfaceGuid).empty();
    show(boardStatus.started(present, streaming(), boardChooserAvailable()));
}

void reportBoardArrival() { show(boardStatus.arrived(streaming(), version())); }

void reportBoardLeft() { show(boardStatus.left()); }

void reportFirmwareUpdateResult(int result) {
    if (result > 0) show(boardStatus.updated(streaming(), version()));
}

void reportBoardChosen() { boardStatus.chosen(); }
