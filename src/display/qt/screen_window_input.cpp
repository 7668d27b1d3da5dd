// Input: keys, mouse drags and double-clicks; the commands they post are
// carried out in screen_context_menu.cpp.
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleHints>

#include "display/qt/screen_host.h"
#include "display/qt/screen_window.h"
#include "display/screen_geometry.h"
#include "settings/settings.h"

void ScreenWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        leaveFullScreen();
        break;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        if (event->key() == Qt::Key_PageUp)
            overscanPageUp(settings.overscanOn, settings.overscan);
        else
            overscanPageDown(settings.overscanOn, settings.overscan);
        render(false);
        break;
    case Qt::Key_Up:
    case Qt::Key_Down:
        host_.forwardVolumeKey(*event);
        break;
    case Qt::Key_F2:
        postCommand(kCmdSplit);
        break;
    case Qt::Key_F3:
        postCommand(kCmdAlwaysOnTop);
        break;
    case Qt::Key_F4:
        switch (nextScalingMode(scalingMode())) {
        case ScalingMode::Bilinear: postCommand(kCmdBilinear); break;
        case ScalingMode::Point: postCommand(kCmdPoint); break;
        case ScalingMode::PixelPerfect: postCommand(kCmdPixelPerfect); break;
        }
        break;
    case Qt::Key_F1:
        overlay_.toggle();
        break;
    case Qt::Key_F11:
        toggleFullScreen();
        break;
    case Qt::Key_F12:
        host_.postSnapshot();
        break;
    case Qt::Key_C:
        if (!(event->modifiers() & Qt::ControlModifier)) {
            QWindow::keyPressEvent(event);
            return;
        }
        copyPicture();
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() & Qt::AltModifier) toggleFullScreen();
        break;
    case Qt::Key_Menu:
        showContextMenu(mapToGlobal(QPoint(0, 0)));
        break;
    case Qt::Key_F10:
        if (event->modifiers() & Qt::ShiftModifier) showContextMenu(mapToGlobal(QPoint(0, 0)));
        break;
    default:
        QWindow::keyPressEvent(event);
        return;
    }
    event->accept();
}

void ScreenWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && !isFullScreen()) {
        dragging_ = true;
        dragOrigin_ = event->position().toPoint();
    }
}

void ScreenWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return;
    const QPoint offset = event->position().toPoint() - dragOrigin_;
    // The window system moves the window once the pointer really drags (a
    // double-click must still reach us); without one we move it ourselves.
    if (offset.manhattanLength() < QGuiApplication::styleHints()->startDragDistance()) return;
    if (startSystemMove()) {
        dragging_ = false;
        return;
    }
    setPosition(position() + offset);
}

void ScreenWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragging_ = false;
    if (event->button() == Qt::RightButton) showContextMenu(event->globalPosition().toPoint());
}

void ScreenWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragging_ = false;
        toggleFullScreen();
    }
}
