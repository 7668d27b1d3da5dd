#include "app/board_chooser.h"

#include <QFile>
#include <QScreen>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/capture_core.h"
#include "base/debug_log.h"
#include "core/device.h"
#include "base/status_line.h"
#include "app/board_chooser_dialog.h"
#include "app/board_reports.h"
#include "settings/settings.h"
#include "settings/settings_paths.h"
#include "usb/usb_backend.h"

namespace {

UsbDeviceLister deviceLister = nullptr;
UsbNameReader nameReader = nullptr;

std::string usbIdsPath() {
    std::string folder = settingsFolder();
    if (folder.empty()) return {};
    if (folder.back() != '/') folder += '/';
    return folder + "usb-ids";
}

// The same path a device arrival takes, so a board that needs its firmware
// updated gets the update dialog as it would when plugged in.
uint32_t openAsBoard(const usb::UsbDeviceInfo& device) {
    if (!addToUsbIds(device.id)) {
        debugPrintf("could not write %s\n", usbIdsPath().c_str());
        return usb::kErrorGenFailure;
    }
    usb::setLastError(usb::kErrorNone);
    deviceArrival(deviceInterfaceGuid);
    if (currentDevice()->openState != Closed) {
        reportBoardChosen();
        setStatusLine("Capture board " + usb::formatUsbId(device.id) + " opened.");
        return usb::kErrorNone;
    }
    const uint32_t error = usb::lastError();
    return error != usb::kErrorNone ? error : usb::kErrorNoDevice;
}

// Over the middle of the window it was opened from, inside that screen.
void centreOn(QWidget* dialog, const QWidget* owner) {
    if (!owner) return;
    QRect wanted(QPoint(), dialog->frameGeometry().size().expandedTo(dialog->size()));
    wanted.moveCenter(owner->window()->frameGeometry().center());
    if (const QScreen* screen = owner->screen()) {
        const QRect area = screen->availableGeometry();
        wanted.moveLeft(std::clamp(wanted.left(), area.left(), std::max(area.left(), area.right() - wanted.width())));
        wanted.moveTop(std::clamp(wanted.top(), area.top(), std::max(area.top(), area.bottom() - wanted.height())));
    }
    dialog->move(wanted.topLeft());
}

}  // namespace

void setUsbDeviceLister(UsbDeviceLister lister, UsbNameReader reader) {
    deviceLister = lister;
    nameReader = reader;
}
bool boardChooserAvailable() { return deviceLister != nullptr; }

bool addToUsbIds(usb::UsbId id) {
    const std::string path = usbIdsPath();
    if (path.empty() || !makeFolders(settingsFolder())) return false;
    std::string text;
    if (std::ifstream in(path); in) {
        std::ostringstream content;
        content << in.rdbuf();
        text = content.str();
    }
    const std::string updated = usb::withUsbId(text, id);
    if (updated == text) return true;
    // Written aside and renamed over, so a failed write never loses the list.
    const std::string fresh = path + ".new";
    std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
    out << updated;
    out.close();
    if (!out || std::rename(fresh.c_str(), path.c_str()) != 0) {
        std::remove(fresh.c_str());
        return false;
    }
    return true;
}

QString udevRuleTemplate() {
    QFile file(QStringLiteral(":/udev/70-kestrel-capture.rules.in"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

BoardChooserDialog* showBoardChooser(QWidget* parent) {
    if (!deviceLister) return nullptr;
    BoardChooserDialog::NameReader reader;
    if (nameReader) reader = nameReader;
    auto* dialog = new BoardChooserDialog(deviceLister, reader, openAsBoard, udevRuleTemplate(), parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->adjustSize();
    centreOn(dialog, parent);
    dialog->open();
    return dialog;
}
