#pragma once
// "Choose capture board" as the application offers it: where the connected
// devices come from (the real program installs the libusb listing) and what
// choosing one does (its ids go into usb-ids, then the board is opened the
// way an arrival opens it).
#include <QString>
#include <string>
#include <vector>

#include "usb/libusb/usb_device_list.h"

namespace usb {
class Backend;
}
class BoardChooserDialog;
class QWidget;

using UsbDeviceLister = std::vector<usb::UsbDeviceInfo> (*)();
using UsbNameReader = bool (*)(usb::UsbDeviceInfo&);
// Null (the default) offers no chooser: the simulated board needs none.
// The name reader asks a device for the names the kernel lacks (off the UI
// thread); without one they stay unknown.
void setUsbDeviceLister(UsbDeviceLister lister, UsbNameReader nameReader = nullptr);
bool boardChooserAvailable();

// Opens the dialog over parent, window-modal; it deletes itself on close.
// Null when no lister is installed.
BoardChooserDialog* showBoardChooser(QWidget* parent);

// Adds the pair to the usb-ids file in the settings folder (once).
bool addToUsbIds(usb::UsbId id);

// The text of the udev rule template the program carries.
QString udevRuleTemplate();
