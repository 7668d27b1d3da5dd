#pragma once
// Hides the pointer over a window after a while without movement; any
// movement brings it back. Only while active (the window is full screen).
#include <QObject>
#include <QTimer>

class QWindow;

class PointerHider : public QObject {
    Q_OBJECT
public:
    explicit PointerHider(QWindow* window, int idleMs = 2000);

    void setActive(bool active);
    bool active() const { return active_; }
    bool hidden() const { return hidden_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void hide();
    void show();

    QWindow* window_;
    QTimer idle_;
    bool active_ = false;
    bool hidden_ = false;
};
