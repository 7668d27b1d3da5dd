#include "display/qt/screen_layout.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "base/fatal.h"
#include "display/decode.h"
#include "display/qt/screen_host.h"
#include "settings/settings.h"

ScreenLayout::ScreenLayout(ScreenHost& host) : host_(host) {
    inhibitorPoll_.setInterval(1000);
    QObject::connect(&inhibitorPoll_, &QTimer::timeout, &inhibitor_, [this] { updateInhibitor(); });
    inhibitorPoll_.start();
}

void ScreenLayout::updateInhibitor() {
    const bool fullScreen = (display1_ && display1_->isFullScreen()) || (display2_ && display2_->isFullScreen());
    inhibitor_.setInhibited(fullScreen || host_.recordingRunning());
}

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
    updateInhibitor();
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
    QObject::connect(display1_, &ScreenWindow::fullScreenStateChanged, &inhibitor_, [this] { updateInhibitor(); });
    if (!split) return;

    display2_ = new ScreenWindow(host_);
    if (!display2_->init(QStringLiteral("Kestrel Capture Bottom"), row.bottomWidth,
                         row.bottomHeight, kModeBottom, 1))
        fatalError("display2.init() fail");
    QObject::connect(display2_, &ScreenWindow::fullScreenStateChanged, &inhibitor_, [this] { updateInhibitor(); });
    placeSplitWindows();
    // The window manager's frame is known once the top window is framed:
    // place the pair again then, so "Bottom" sits right under the frame.
    QObject::connect(display1_, &ScreenWindow::frameSwapped, display1_, [this] { placeSplitWindows(); },
                     Qt::SingleShotConnection);
}

void ScreenLayout::placeSplitWindows() {
    if (!display1_ || !display2_) return;
    QScreen* screen = host_.hostScreen() ? host_.hostScreen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QMargins frame = display1_->frameMargins();
    const QSize top = display1_->size().grownBy(frame);
    const QSize bottom = display2_->size().grownBy(display2_->frameMargins());
    const int total = top.height() + bottom.height();
    const int x = area.left() + std::max(0, (area.width() - top.width()) / 2);
    const int y = area.top() + std::max(0, (area.height() - total) / 2);
    display1_->placeFrameAt(QPoint(x, y));
    display2_->placeFrameAt(QPoint(x + (top.width() - bottom.width()) / 2, y + top.height()));
}
