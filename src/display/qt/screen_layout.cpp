#include "display/qt/screen_layout.h"

#include "core/fatal.h"
#include "display/decode.h"
#include "ui/settings.h"

void ScreenLayout::closeWindow(ScreenWindow*& window) {
    if (!window) return;
    window->shutdown();
    // Events already queued for the window die with it.
    window->deleteLater();
    window = nullptr;
}

void ScreenLayout::closeScreenWindows() {
    closeWindow(display2_);
    closeWindow(display1_);
}

void ScreenLayout::applyTopmost() {
    if (display1_) display1_->applyTopmost();
    if (display2_) display2_->applyTopmost();
}

void ScreenLayout::setLayout(int displayType, bool split) {
    closeScreenWindows();
    // A type outside the table would size windows from nothing: keep 2D.
    if (displayType < 1 || displayType >= kDisplayTypeCount) displayType = 1;
    if (uint32_t(displayType) != settings.displayType || split != (settings.splitWindows != 0)) {
        // Another layout starts from its natural sizes.
        settings.windowWidth[0] = settings.windowWidth[1] = 0;
        settings.windowHeight[0] = settings.windowHeight[1] = 0;
    }
    settings.displayType = uint32_t(displayType);
    settings.splitWindows = split ? 1 : 0;
    const DisplayLayout& row = displayTypeTable[displayType];

    display1_ = new ScreenWindow(host_);
    // Joined, the window shows the whole image; split, the first shows the top screen.
    int width = split ? row.topWidth : row.imageWidth;
    const int height = split ? row.topHeight : row.imageHeight;
    WindowMode mode = split ? kModeTop : kModeJoined;
    if (displayType == 4) {
        width /= 2;
        mode = kModeVision;
    } else if (displayType == 2 || displayType == 3) {
        mode = kModeStereo;
    }
    const bool ok = display1_->init(split ? QStringLiteral("Kestrel Capture Top") : QStringLiteral("Kestrel Capture"),
                                    width, height, mode, 0);
    if (!ok) fatalError("display1.init() fail");
    if (!split) return;

    display2_ = new ScreenWindow(host_);
    if (!display2_->init(QStringLiteral("Kestrel Capture Bottom"), row.bottomWidth,
                         row.bottomHeight, kModeBottom, 1))
        fatalError("display2.init() fail");
}
