#include "app/realtime_kit.h"

#include <sys/resource.h>

#include <algorithm>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

namespace {

const QString kService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString kPath = QStringLiteral("/org/freedesktop/RealtimeKit1");
constexpr int kTimeoutMs = 2000;  // the reader waits for this answer before its first frame

QDBusMessage call(QDBusConnection& bus, const QString& interface, const QString& method,
                  const QList<QVariant>& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, kTimeoutMs);
}

// One of the service's limits; fallback when it does not say.
qlonglong property(QDBusConnection& bus, const char* name, qlonglong fallback) {
    const QDBusMessage reply = call(bus, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                    {kService, QString::fromLatin1(name)});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return fallback;
    bool ok = false;
    const qlonglong value = reply.arguments().first().value<QDBusVariant>().variant().toLongLong(&ok);
    return ok ? value : fallback;
}

QString errorOf(const QDBusMessage& reply) {
    return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
}

// The service grants real time only to a process whose RLIMIT_RTTIME is
// within its RTTimeUSecMax, so that a runaway thread is stopped.
bool limitRealtimeCpu(qlonglong maxMicroseconds) {
    if (maxMicroseconds <= 0) return false;
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(maxMicroseconds)) return true;
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(maxMicroseconds);
    return setrlimit(RLIMIT_RTTIME, &limit) == 0;
}

}  // namespace

std::string askRealtimeKit(pid_t tid, int wantedNice, std::string* refusal) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        *refusal = "RealtimeKit: no system bus";
        return {};
    }
    const QString interface = kService;
    const int nice = static_cast<int>(std::max<qlonglong>(wantedNice, property(bus, "MinNiceLevel", 0)));
    QDBusMessage reply = call(bus, interface, QStringLiteral("MakeThreadHighPriority"),
                              {QVariant::fromValue(quint64(tid)), QVariant::fromValue(qint32(nice))});
    if (reply.type() == QDBusMessage::ReplyMessage && nice < 0)
        return "nice " + std::to_string(nice) + " (RealtimeKit)";
    QString why = reply.type() == QDBusMessage::ReplyMessage ? QStringLiteral("no raised nice level allowed")
                                                              : errorOf(reply);

    const qlonglong maxPriority = property(bus, "MaxRealtimePriority", 0);
    if (maxPriority >= 1 && limitRealtimeCpu(property(bus, "RTTimeUSecMax", 0))) {
        reply = call(bus, interface, QStringLiteral("MakeThreadRealtime"),
                     {QVariant::fromValue(quint64(tid)), QVariant::fromValue(quint32(1))});
        if (reply.type() == QDBusMessage::ReplyMessage) return "real-time 1 (RealtimeKit)";
        why += "; real time: " + errorOf(reply);
    }
    *refusal = "RealtimeKit: " + why.toStdString();
    return {};
}
