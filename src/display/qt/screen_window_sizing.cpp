// Sizing and full screen: the aspect-locked size while the user drags a
// border, the size hints for the window manager, full screen and z-order.
#include <QGuiApplication>
#include <QScreen>

#include "display/qt/pointer_hider.h"
#include "display/qt/screen_window.h"
#include "display/qt/window_geometry.h"
#include "display/qt/x11_size_hints.h"
#include "display/window_fit.h"
#include "settings/settings.h"

bool ScreenWindow::inNormalState() const {
    const bool normal = !(windowStates() & (Qt::WindowFullScreen | Qt::WindowMaximized |
                                            Qt::WindowMinimized));
    return normal && !wantFullScreen_;
}

void ScreenWindow::resizeEvent(QResizeEvent*) {
    const QRect now = geometry();
    if (!shutDown_ && inNormalState()) {
        const QSize stored(settings.windowWidth[index_], settings.windowHeight[index_]);
        // Our own resizes (and the first one at creation) arrive at the
        // stored size; anything else is the user dragging a border.
        if (now.size() != stored) applySizing(lastNormalGeometry_, now);
        lastNormalGeometry_ = geometry();
    }
    if (isExposed()) render(false);
}

void ScreenWindow::moveEvent(QMoveEvent*) {
    if (inNormalState()) lastNormalGeometry_ = geometry();
}

void ScreenWindow::applySizing(const QRect& previous, const QRect& proposed) {
    // Client geometry throughout: the frame the window system adds moves
    // with it, so no frame sizes enter the rule.
    const SizingEdge edge = inferSizingEdge(previous, proposed);
    const WindowRect rect{proposed.left(), proposed.top(), proposed.left() + proposed.width(),
                          proposed.top() + proposed.height()};
    const Sizing sized = sizeWindow(naturalWidth_, naturalHeight_, 0, 0, edge, rect);
    // Within the screen; in pixel-perfect mode at a whole multiple.
    const QSize area = maxClientSize();
    ClientSize size{sized.clientWidth, sized.clientHeight};
    size = scalingMode() == ScalingMode::PixelPerfect
               ? snapToMultiple(naturalWidth_, naturalHeight_, size, area.width(), area.height())
               : capToArea(naturalWidth_, naturalHeight_, size, area.width(), area.height());
    const WindowRect placed = anchorRect(edge, rect, 0, 0, size.width, size.height);
    settings.windowWidth[index_] = size.width;
    settings.windowHeight[index_] = size.height;
    showSizingTitle(size.width, size.height);

    sizingTarget_ = keptOnScreen(QRect(placed.left, placed.top, size.width, size.height));
    if (sizingTarget_ != proposed) {
        setGeometry(sizingTarget_);
        applyWindowHints();
    }
}

QSize ScreenWindow::maxClientSize() const {
    QScreen* on = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!on) return {};
    const QMargins frame = frameMargins();  // none before the window manager framed it
    return on->availableGeometry().size().shrunkBy(frame);
}

void ScreenWindow::placeFrameAt(const QPoint& pos) {
    setFramePosition(pos);
    applyWindowHints();
}

QRect ScreenWindow::keptOnScreen(QRect client) const {
    // A window grown past the screen's edge moves back in, frame and all.
    QScreen* on = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!on) return client;
    const QRect area = on->availableGeometry().marginsRemoved(frameMargins());
    if (client.right() > area.right()) client.moveRight(area.right());
    if (client.bottom() > area.bottom()) client.moveBottom(area.bottom());
    if (client.left() < area.left()) client.moveLeft(area.left());
    if (client.top() < area.top()) client.moveTop(area.top());
    return client;
}

ScalingMode ScreenWindow::scalingMode() const { return scalingModeFromStored(settings.pointScaling); }

void ScreenWindow::applyWindowHints() {
    if (!handle()) return;
    const bool full = wantFullScreen_ || isFullScreen();
    const bool multiples = scalingMode() == ScalingMode::PixelPerfect && !full;
    const bool modeChanged = hintedMode_ != int(scalingMode());
    hintedMode_ = int(scalingMode());
    const QSize step = multiples ? QSize(naturalWidth_, naturalHeight_) : QSize();
    if (sizeIncrement() != step) setSizeIncrement(step);
    if (multiples && modeChanged) {
        // Into pixel perfect: the window steps down to a whole multiple, as
        // the window manager's increments would take it.
        const QSize area = maxClientSize();
        const ClientSize snapped = snapToMultiple(naturalWidth_, naturalHeight_, {width(), height()},
                                                  area.width(), area.height());
        if (QSize(snapped.width, snapped.height) != size()) resize(snapped.width, snapped.height);
    }
    if (full)
        setAspectHint(this, 0, 0);
    else
        setAspectHint(this, naturalWidth_, naturalHeight_);
}

void ScreenWindow::finishSizing() {
    setTitle(title_);
    // A window manager may override our size while it runs its own drag;
    // once the drag is over the window takes the aspect-locked size.
    if (inNormalState() && !shutDown_ && sizingTarget_.isValid() &&
        geometry().size() != sizingTarget_.size()) {
        setGeometry(sizingTarget_);
        applyWindowHints();
    }
}

void ScreenWindow::showSizingTitle(int width, int height) {
    setTitle(QStringLiteral("%1 x %2").arg(width).arg(height));
    sizingTitleTimer_.start();
}

// Full screen and z-order -------------------------------------------------------

bool ScreenWindow::isFullScreen() const {
    return windowStates() & (Qt::WindowFullScreen | Qt::WindowMaximized);
}

void ScreenWindow::toggleFullScreen() {
    if (isFullScreen()) {
        leaveFullScreen();
        return;
    }
    wantFullScreen_ = true;
    applyWindowHints();  // no aspect or steps for the window manager to keep
    setFlag(Qt::WindowStaysOnTopHint, true);  // full screen is always on top
    showFullScreen();
    render(false);
}

void ScreenWindow::leaveFullScreen() {
    wantFullScreen_ = false;
    showNormal();
    setFlag(Qt::WindowStaysOnTopHint, settings.alwaysOnTop != 0);
    applyWindowHints();
    render(false);
}

void ScreenWindow::applyTopmost() {
    setFlag(Qt::WindowStaysOnTopHint, settings.alwaysOnTop != 0 || isFullScreen());
    applyWindowHints();
}

void ScreenWindow::fullScreenChanged() {
    pointerHider_->setActive(isFullScreen());
    Q_EMIT fullScreenStateChanged();
}
