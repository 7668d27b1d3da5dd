#pragma once
// "About Kestrel Capture": the version, the licence and the libraries in use.
#include <string>

class QWidget;

// The USB stack's name and version ("libusb 1.0.26"), for the box; main()
// installs it where a USB stack is used. Without it the box says the board
// is simulated.
using UsbStackVersionFn = std::string (*)();
void setUsbStackVersion(UsbStackVersionFn version);

// The text the box shows, one fact a line.
std::string aboutText();
// Modal over parent.
void showAboutBox(QWidget* parent);
