#include "display/qt/screen_saver_inhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include "base/debug_log.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kInterface = QStringLiteral("org.freedesktop.ScreenSaver");

}  // namespace

ScreenSaverInhibitor::ScreenSaverInhibitor(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

ScreenSaverInhibitor::~ScreenSaverInhibitor() {
    release();
    if (!pendingCall_) return;
    // The answer is still on its way: release its cookie when it comes, without us.
    QDBusPendingCallWatcher* call = pendingCall_;
    call->disconnect(this);
    call->setParent(nullptr);
    QObject::connect(call, &QDBusPendingCallWatcher::finished, [bus = bus_](QDBusPendingCallWatcher* w) mutable {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) return;
        QDBusMessage release =
            QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("UnInhibit"));
        release << reply.value();
        bus.asyncCall(release);
    });
}

void ScreenSaverInhibitor::setInhibited(bool inhibited) {
    if (inhibited == wanted_) return;
    wanted_ = inhibited;
    if (wanted_) {
        if (!pending_ && !held_) requestInhibit();
    } else {
        release();  // an answer still on its way is released when it comes
    }
}

void ScreenSaverInhibitor::requestInhibit() {
    if (!bus_.isConnected()) {
        if (!reportedMissing_) debugPrintf("screensaver: no session bus, not inhibited\n");
        reportedMissing_ = true;
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Inhibit"));
    call << QStringLiteral("Kestrel Capture") << QStringLiteral("Showing the console full screen or recording");
    pending_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    pendingCall_ = watcher;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        pending_ = false;
        pendingCall_ = nullptr;
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) {
            if (!reportedMissing_)
                debugPrintf("screensaver: %s, not inhibited\n", qPrintable(reply.error().name()));
            reportedMissing_ = true;
            return;
        }
        reportedMissing_ = false;
        cookie_ = reply.value();
        held_ = true;
        if (!wanted_) release();  // no longer wanted while the call ran
    });
}

void ScreenSaverInhibitor::release() {
    if (!held_) return;
    held_ = false;
    if (!bus_.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("UnInhibit"));
    call << cookie_;
    // Nothing to wait for: the service drops the inhibition when we leave the bus anyway.
    bus_.asyncCall(call);
}
