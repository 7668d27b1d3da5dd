// SIGINT and SIGTERM end the demo the way its close box does: exit status 0
// and the settings file written.
#include <signal.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestUiSignals : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signalClosesOrderly_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void signalClosesOrderly() {
        QFETCH(int, signalNumber);
        const QString demo = QCoreApplication::applicationDirPath() + "/../src/kestrel-capture-demo";
        if (!QFile::exists(demo)) QSKIP("the demo is not built");
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.path() + "/config");
        QDir(home.path()).mkpath("Desktop");
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(demo, {});
        QVERIFY(process.waitForStarted());
        // Up and streaming: the capture core's reader thread runs. Polled, not
        // a fixed wait: a sanitizer build on a busy machine starts slowly.
        const QString tasks = QStringLiteral("/proc/%1/task").arg(process.processId());
        const auto streaming = [&] {
            for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile comm(tasks + "/" + task + "/comm");
                if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "reader") return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(streaming(), 60000);
        QTest::qWait(300);
        QCOMPARE(process.state(), QProcess::Running);

        ::kill(pid_t(process.processId()), signalNumber);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(QFile::exists(home.path() + "/config/Wren Capture/kestrel_capture.cfg"));
    }
};

QTEST_MAIN(TestUiSignals)
#include "test_ui_signals.moc"
