// The screensaver inhibitor against a fake desktop service on a session bus
// of the test's own (dbus-daemon), and without service or bus.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QtTest>
#include <set>

#include "display/qt/screen_saver_inhibitor.h"

class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    std::set<uint> active;
    int unknownReleases = 0;
    QString lastApplication;

public Q_SLOTS:
    uint Inhibit(const QString& application, const QString&) {
        lastApplication = application;
        active.insert(next_);
        return next_++;
    }
    void UnInhibit(uint cookie) {
        if (!active.erase(cookie)) ++unknownReleases;
    }

private:
    uint next_ = 7;
};

class TestScreenSaverInhibitor : public QObject {
    Q_OBJECT
    QProcess daemon_;
    QString address_;

    QDBusConnection connect(const QString& name) { return QDBusConnection::connectToBus(address_, name); }

private Q_SLOTS:
    void initTestCase() {
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        if (!daemon_.waitForStarted(5000)) QSKIP("dbus-daemon is not available");
        QTRY_VERIFY_WITH_TIMEOUT(daemon_.canReadLine(), 10000);
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        QVERIFY(!address_.isEmpty());
    }
    void cleanupTestCase() {
        daemon_.terminate();
        daemon_.waitForFinished(5000);
    }

    void inhibitsWhileWantedAndReleasesAfter() {
        QDBusConnection service = connect("service");
        FakeScreenSaver fake;
        QVERIFY(service.registerObject("/org/freedesktop/ScreenSaver", &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService("org.freedesktop.ScreenSaver"));
        {
            ScreenSaverInhibitor inhibitor(connect("client"));
            inhibitor.setInhibited(true);
            QTRY_COMPARE(fake.active.size(), size_t(1));
            QTRY_VERIFY(inhibitor.holding());
            QCOMPARE(fake.lastApplication, QString("Kestrel Capture"));
            inhibitor.setInhibited(true);  // already held: no second inhibition
            QTest::qWait(100);
            QCOMPARE(fake.active.size(), size_t(1));
            inhibitor.setInhibited(false);
            QTRY_VERIFY(fake.active.empty());

            // Switched off before the answer came: the late cookie is released.
            inhibitor.setInhibited(true);
            inhibitor.setInhibited(false);
            QTest::qWait(300);
            QTRY_VERIFY(fake.active.empty());
            QVERIFY(!inhibitor.holding());

            inhibitor.setInhibited(true);
            QTRY_COMPARE(fake.active.size(), size_t(1));
            QTRY_VERIFY(inhibitor.holding());
        }
        // Going away releases what it held.
        QTRY_VERIFY(fake.active.empty());
        fake.lastApplication.clear();
        {
            // ... and what is granted only after it went.
            ScreenSaverInhibitor inhibitor(connect("client"));
            inhibitor.setInhibited(true);
        }
        QTRY_COMPARE(fake.lastApplication, QString("Kestrel Capture"));
        QTest::qWait(200);
        QTRY_VERIFY(fake.active.empty());
        QCOMPARE(fake.unknownReleases, 0);
        service.unregisterService("org.freedesktop.ScreenSaver");
        QDBusConnection::disconnectFromBus("service");
        QDBusConnection::disconnectFromBus("client");
    }

    void noServiceOrNoBusIsQuiet() {
        ScreenSaverInhibitor onBus(connect("lonely"));
        onBus.setInhibited(true);
        QTest::qWait(300);
        QVERIFY(!onBus.holding());
        onBus.setInhibited(false);

        ScreenSaverInhibitor noBus(QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "nobus"));
        noBus.setInhibited(true);
        QVERIFY(!noBus.holding());
        noBus.setInhibited(false);
        QDBusConnection::disconnectFromBus("lonely");
        QDBusConnection::disconnectFromBus("nobus");
    }
};

QTEST_GUILESS_MAIN(TestScreenSaverInhibitor)
#include "test_screen_saver_inhibitor.moc"
