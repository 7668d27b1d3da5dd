#pragma once
// Keeps the screensaver and screen blanking away while asked to, through the
// desktop's org.freedesktop.ScreenSaver service on the session bus. Every call
// is asynchronous: no bus, no service or a slow one never blocks the UI; each
// such case leaves one debug line and the desktop's own behaviour.
#include <QDBusConnection>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

class ScreenSaverInhibitor : public QObject {
    Q_OBJECT
public:
    explicit ScreenSaverInhibitor(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  QObject* parent = nullptr);
    // Releases a held inhibition, and one still being granted when it comes.
    ~ScreenSaverInhibitor() override;

    // Wanted or not; repeated calls with the same value do nothing.
    void setInhibited(bool inhibited);
    bool wanted() const { return wanted_; }
    // The service granted an inhibition that is not yet released (tests).
    bool holding() const { return held_; }

private:
    void requestInhibit();
    void release();

    QDBusConnection bus_;
    bool wanted_ = false;
    bool pending_ = false;  // an Inhibit call has not answered yet
    QDBusPendingCallWatcher* pendingCall_ = nullptr;
    bool held_ = false;     // the service granted cookie_
    uint cookie_ = 0;
    bool reportedMissing_ = false;
};
