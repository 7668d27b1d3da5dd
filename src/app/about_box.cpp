#include "app/about_box.h"

#include <QMessageBox>
#include <QtGlobal>

#include "core/sdl/sdl_version.h"
#include "record/ffmpeg/ffmpeg_version.h"

namespace {
UsbStackVersionFn usbStackVersion = nullptr;  // UI thread
}

void setUsbStackVersion(UsbStackVersionFn version) { usbStackVersion = version; }

std::string aboutText() {
    std::string text = "Kestrel Capture " KESTREL_VERSION "\n";
    text += "Licence: GNU GPL, version 3 or later (GPL-3.0-or-later)\n\n";
    text += std::string("Qt ") + qVersion() + "\n";
    text += "SDL " + sdlVersion() + "\n";
    text += "FFmpeg " + ffmpegVersion() + "\n";
    text += usbStackVersion ? usbStackVersion() : std::string("USB: simulated board");
    return text;
}

void showAboutBox(QWidget* parent) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("About Kestrel Capture"),
                    QString::fromStdString(aboutText()), QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("aboutBox"));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);  // versions can be copied into a report
    box.exec();
}
