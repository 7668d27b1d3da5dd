// The reader thread's priority when the program may not raise it itself:
// the application asks the priority service, here a stand-in on a private
// bus (a dbus-daemon of its own, named as the system bus), and the debug
// console says what the reader got. setpriority is refused for real: the
// test process gives up CAP_SYS_NICE and its nice limit, as a normal user
// has neither.
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>

#include "app/debug_console.h"
#include "core/thread_priority.h"
#include "test_ui_support.h"

namespace {

bool setNiceCapability(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    if (on)
        data[0].effective |= data[0].permitted & (1u << CAP_SYS_NICE);
    else
        data[0].effective &= ~(1u << CAP_SYS_NICE);
    return syscall(SYS_capset, &header, data) == 0;
}

// The reader thread's id, from the thread names of this process.
pid_t readerTid() {
    for (const QString& task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + task + "/comm");
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "reader") return task.toInt();
    }
    return 0;
}

// The thread's nice level as the kernel has it (field 19 of its stat line).
int niceOf(pid_t tid) {
    QFile stat(QString("/proc/self/task/%1/stat").arg(tid));
    if (!stat.open(QIODevice::ReadOnly)) return 99;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 16 ? fields[16].toInt() : 99;  // fields counted from the state, field 3
}

}  // namespace

class TestReaderPriority : public QObject {
    Q_OBJECT
    QProcess bus;
    QProcess standIn;

    // Starts the stand-in with its arguments; false when it did not come up.
    bool startStandIn(const QStringList& arguments) {
        standIn.start(RTKIT_STANDIN, arguments);
        return standIn.waitForReadyRead(5000) && standIn.readLine().trimmed() == "ready";
    }
    void stopStandIn() {
        standIn.kill();
        standIn.waitForFinished();
    }

    // The application's reader starts and asks; returns what it got ("" when
    // it said nothing within 5 s), and the console's text when asked for.
    static QString readerGot(TestApp& app, QString* consoleText = nullptr) {
        app.start();
        if (!QTest::qWaitFor([] { return !readerPriority().empty(); }, 5000)) return {};
        if (consoleText) {
            app.control().toggleDebugConsole();
            QPlainTextEdit* console = app.control().debugConsole();
            (void)QTest::qWaitFor([console] { return console->toPlainText().contains("reader priority: "); }, 5000);
            *consoleText = console->toPlainText();
            app.control().toggleDebugConsole();
        }
        return QString::fromStdString(readerPriority());
    }

private Q_SLOTS:
    void initTestCase() {
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY(bus.waitForReadyRead(5000));
        const QByteArray address = bus.readLine().trimmed();
        QVERIFY(!address.isEmpty());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);

        // As a normal user: no privilege to raise priorities, no nice allowance.
        const rlimit noNice{0, 0};
        QVERIFY(setrlimit(RLIMIT_NICE, &noNice) == 0);
        if (geteuid() == 0) QVERIFY(setNiceCapability(false));
        QVERIFY(setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -2) != 0);
    }
    void cleanupTestCase() {
        if (geteuid() == 0) setNiceCapability(true);
        bus.kill();
        bus.waitForFinished();
    }

    // The service grants the raised nice level; the console says so, and
    // where the stand-in may apply it (as root) the thread really runs at it.
    void serviceRaisesTheNiceLevel() {
        QVERIFY(startStandIn({"-15"}));
        TestApp app;
        QString console;
        const QString got = readerGot(app, &console);
        const pid_t tid = readerTid();
        const int nice = niceOf(tid);
        app.stop();
        stopStandIn();
        QCOMPARE(got, QString("nice -2 (RealtimeKit)"));
        if (geteuid() == 0) QCOMPARE(nice, -2);
        QVERIFY(console.contains("reader priority: nice -2 (RealtimeKit)"));
        const QByteArray calls = standIn.readAllStandardOutput();
        QVERIFY2(calls.contains("MakeThreadHighPriority " + QByteArray::number(tid) + " -2"), calls.constData());
        qInfo("reader thread %d: %s, nice %d", tid, qPrintable(got), nice);
    }

    // A service that allows less than asked: the reader takes what it allows.
    void nicelevelWithinTheServicesLimit() {
        QVERIFY(startStandIn({"-1"}));
        TestApp app;
        QCOMPARE(readerGot(app), QString("nice -1 (RealtimeKit)"));
        app.stop();
        stopStandIn();
    }

    // No raised nice level granted: the lowest real-time priority, asked for
    // with RLIMIT_RTTIME within the service's maximum.
    void realTimeWhenNoNiceLevelIsGranted() {
        QVERIFY(startStandIn({"-15", "refuse-high"}));
        TestApp app;
        const QString got = readerGot(app);
        const pid_t tid = readerTid();
        const int policy = sched_getscheduler(tid);
        app.stop();
        stopStandIn();
        QCOMPARE(got, QString("real-time 1 (RealtimeKit)"));
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_RTTIME, &limit) == 0);
        QVERIFY(limit.rlim_max <= 200000);
        if (geteuid() == 0) QCOMPARE(policy & ~SCHED_RESET_ON_FORK, SCHED_RR);
    }

    void noServiceLeavesNormalPrioritySaysWhy() {
        TestApp app;
        QString console;
        const QString got = readerGot(app, &console);
        app.stop();
        QVERIFY2(got.startsWith("normal (setpriority: Permission denied; RealtimeKit: "), qPrintable(got));
        qInfo("%s", qPrintable(got));
        QVERIFY(console.contains("reader priority: normal (setpriority: Permission denied"));
    }
};

QTEST_MAIN(TestReaderPriority)
#include "test_reader_priority.moc"
