#include "display/qt/pointer_hider.h"

#include <QCursor>
#include <QEvent>
#include <QWindow>

PointerHider::PointerHider(QWindow* window, int idleMs) : QObject(window), window_(window) {
    idle_.setSingleShot(true);
    idle_.setInterval(idleMs);
    connect(&idle_, &QTimer::timeout, this, [this] { hide(); });
    window_->installEventFilter(this);
}

void PointerHider::setActive(bool active) {
    if (active == active_) return;
    active_ = active;
    if (active_) {
        idle_.start();
    } else {
        idle_.stop();
        show();
    }
}

bool PointerHider::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && active_) {
        switch (event->type()) {
        case QEvent::MouseMove:
        case QEvent::MouseButtonPress:
        case QEvent::Wheel:
        case QEvent::Enter:
            show();
            idle_.start();
            break;
        default:
            break;
        }
    }
    return false;  // the window still gets every event
}

void PointerHider::hide() {
    if (!active_ || hidden_) return;
    hidden_ = true;
    window_->setCursor(Qt::BlankCursor);
}

void PointerHider::show() {
    if (!hidden_) return;
    hidden_ = false;
    window_->unsetCursor();
}
