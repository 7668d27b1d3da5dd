// A stand-in for the system's priority service (org.freedesktop.RealtimeKit1)
// on whatever bus DBUS_SYSTEM_BUS_ADDRESS names, for the reader priority test.
// It states its limits as properties and checks requests as the service does
// (the thread belongs to the caller, the nice level is within MinNiceLevel,
// real time only with RLIMIT_RTTIME within RTTimeUSecMax); when it may, it
// applies what it grants. Each request is printed on standard output.
//   rtkit_standin MIN_NICE [refuse-high]
#include <sched.h>
#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QFile>

class StandIn : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
    Q_PROPERTY(int MaxRealtimePriority READ maxRealtimePriority)
    Q_PROPERTY(int MinNiceLevel READ minNiceLevel)
    Q_PROPERTY(qlonglong RTTimeUSecMax READ rtTimeUSecMax)

public:
    StandIn(int minNice, bool refuseHigh) : minNice_(minNice), refuseHigh_(refuseHigh) {}
    int maxRealtimePriority() const { return 20; }
    int minNiceLevel() const { return minNice_; }
    qlonglong rtTimeUSecMax() const { return 200000; }

public Q_SLOTS:
    void MakeThreadHighPriority(quint64 thread, int priority) {
        std::printf("MakeThreadHighPriority %llu %d\n", static_cast<unsigned long long>(thread), priority);
        std::fflush(stdout);
        if (!callersThread(thread)) return;
        if (refuseHigh_ || priority < minNice_)
            return refuse("org.freedesktop.DBus.Error.AccessDenied", "nice level not allowed");
        // Applied when this process may (as root); granted all the same.
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(thread), priority);
    }
    void MakeThreadRealtime(quint64 thread, uint priority) {
        std::printf("MakeThreadRealtime %llu %u\n", static_cast<unsigned long long>(thread), priority);
        std::fflush(stdout);
        if (!callersThread(thread)) return;
        if (priority > 20) return refuse("org.freedesktop.DBus.Error.AccessDenied", "priority too high");
        if (callerRealtimeLimit() > rtTimeUSecMax())
            return refuse("org.freedesktop.DBus.Error.AccessDenied", "RLIMIT_RTTIME not set");
        sched_param param{};
        param.sched_priority = static_cast<int>(priority);
        (void)sched_setscheduler(static_cast<pid_t>(thread), SCHED_RR | SCHED_RESET_ON_FORK, &param);
    }

private:
    uint callerPid() { return connection().interface()->servicePid(message().service()).value(); }

    bool callersThread(quint64 thread) {
        if (QFile::exists(QString("/proc/%1/task/%2").arg(callerPid()).arg(thread))) return true;
        refuse("org.freedesktop.DBus.Error.AccessDenied", "not a thread of the caller");
        return false;
    }

    // The caller's hard RLIMIT_RTTIME in microseconds, or more than any limit when unlimited.
    qlonglong callerRealtimeLimit() {
        std::ifstream limits("/proc/" + std::to_string(callerPid()) + "/limits");
        for (std::string line; std::getline(limits, line);) {
            if (line.rfind("Max realtime timeout", 0) != 0) continue;
            const std::string hard = line.substr(47, 21);
            return hard.find("unlimited") != std::string::npos ? (1LL << 62) : std::stoll(hard);
        }
        return 1LL << 62;
    }

    void refuse(const char* name, const char* text) {
        sendErrorReply(QString::fromLatin1(name), QString::fromLatin1(text));
    }

    int minNice_;
    bool refuseHigh_;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int minNice = argc > 1 ? std::atoi(argv[1]) : -15;
    const bool refuseHigh = argc > 2 && std::string(argv[2]) == "refuse-high";
    StandIn standIn(minNice, refuseHigh);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject("/org/freedesktop/RealtimeKit1", &standIn,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) ||
        !bus.registerService("org.freedesktop.RealtimeKit1")) {
        std::fprintf(stderr, "rtkit_standin: cannot register on the bus\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "rtkit_standin.moc"
