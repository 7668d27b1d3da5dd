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
        QTest::qWait(1500);  // up and streaming
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
