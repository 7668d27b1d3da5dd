// The screen windows under a real window manager (openbox, started by
// with_window_manager.sh on a 1600 x 1200 display of its own): what the X
// server shows - window geometry, _NET_WM_STATE, WM_NORMAL_HINTS - rather
// than what Qt believes.
#include <QMenu>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>

#include "display/qt/pointer_hider.h"
#include "test_ui_support.h"

namespace {

QString run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000)) return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The client area as the X server has it, in root coordinates.
QRect serverGeometry(const QWindow* window) {
    const QString info = run("xwininfo", {"-id", QString::number(window->winId())});
    auto field = [&](const char* name) {
        const QRegularExpressionMatch m = QRegularExpression(QString("%1:\\s+(-?\\d+)").arg(name)).match(info);
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    };
    return QRect(field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"),
                 field("Height"));
}

QString netWmState(const QWindow* window) {
    return run("xprop", {"-id", QString::number(window->winId()), "_NET_WM_STATE"});
}

QString normalHints(const QWindow* window) {
    return run("xprop", {"-id", QString::number(window->winId()), "WM_NORMAL_HINTS"});
}

// Width and height keep 400:480 (5:6) up to the even-width rounding.
bool keepsAspect(const QSize& size) { return qAbs(size.height() * 5 - size.width() * 6) <= 12; }

void xdotool(const QStringList& arguments) { run("xdotool", arguments); }

}  // namespace

class TestUiWindowManager : public QObject {
    Q_OBJECT
    std::unique_ptr<TestApp> t;

    void startWithStoredSizes(int w0, int h0, int w1, int h1, bool split) {
        t = std::make_unique<TestApp>();
        loadSettings();
        settings.splitWindows = split ? 1 : 0;
        settings.windowWidth[0] = w0;
        settings.windowHeight[0] = h0;
        settings.windowWidth[1] = w1;
        settings.windowHeight[1] = h1;
        saveSettings();
        t->start();
        QTRY_VERIFY(t->display1()->isExposed());
    }

private Q_SLOTS:
    void initTestCase() {
        if (run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).indexOf("window id") < 0)
            QSKIP("no window manager on this display (run through with_window_manager.sh)");
    }
    void init() {
        t = std::make_unique<TestApp>();
        t->start();
        QTRY_VERIFY(t->display1()->isExposed());
    }
    void cleanup() { t.reset(); }

    void fullScreenCoversTheScreenAndComesBack() {
        ScreenWindow* window = t->display1();
        QTRY_COMPARE(serverGeometry(window).size(), QSize(400, 480));
        QVERIFY(!t->control().screens().inhibitor().wanted());

        QTest::keyClick(window, Qt::Key_F11);
        QTRY_VERIFY(netWmState(window).contains("_NET_WM_STATE_FULLSCREEN"));
        QVERIFY(netWmState(window).contains("_NET_WM_STATE_ABOVE"));
        QTRY_COMPARE(serverGeometry(window), QRect(0, 0, 1600, 1200));
        QTRY_VERIFY(t->control().screens().inhibitor().wanted());
        // The pointer goes after two idle seconds and comes back when moved.
        QTRY_VERIFY_WITH_TIMEOUT(window->pointerHider().hidden(), 6000);
        QCOMPARE(window->cursor().shape(), Qt::BlankCursor);
        QTest::mouseMove(window, QPoint(300, 300));
        QTRY_VERIFY(!window->pointerHider().hidden());
        QVERIFY(window->cursor().shape() != Qt::BlankCursor);

        QTest::keyClick(window, Qt::Key_F11);
        QTRY_VERIFY(!netWmState(window).contains("_NET_WM_STATE_FULLSCREEN"));
        QVERIFY(!netWmState(window).contains("_NET_WM_STATE_ABOVE"));
        QTRY_COMPARE(serverGeometry(window).size(), QSize(400, 480));
        QTRY_VERIFY(!t->control().screens().inhibitor().wanted());
        QCOMPARE(settings.windowWidth[0], 400);
    }

    void doubleClickAndAltEnterEnterFullScreenEscapeLeaves() {
        ScreenWindow* window = t->display1();
        QTest::mouseDClick(window, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
        QTRY_VERIFY(netWmState(window).contains("_NET_WM_STATE_FULLSCREEN"));
        QTRY_COMPARE(serverGeometry(window), QRect(0, 0, 1600, 1200));
        std::unique_ptr<QMenu> menu = window->createContextMenu();
        bool checked = false;
        for (QAction* action : menu->actions())
            if (action->text() == "Full Screen\tAlt+Enter") checked = action->isChecked();
        QVERIFY(checked);
        QCOMPARE(settings.windowWidth[0], 400);  // the full-screen size is not the user's size
        QCOMPARE(settings.windowHeight[0], 480);

        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_VERIFY(!netWmState(window).contains("_NET_WM_STATE_FULLSCREEN"));
        QTRY_COMPARE(serverGeometry(window).size(), QSize(400, 480));

        QTest::keyClick(window, Qt::Key_Return, Qt::AltModifier);
        QTRY_VERIFY(netWmState(window).contains("_NET_WM_STATE_FULLSCREEN"));
        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_VERIFY(!netWmState(window).contains("_NET_WM_STATE_FULLSCREEN"));
    }

    void pixelPerfectFullScreenDrawsTheLargestWholeMultiple() {
        ScreenWindow* window = t->display1();
        settings.pointScaling = 2;
        QTest::keyClick(window, Qt::Key_F11);
        QTRY_COMPARE(serverGeometry(window), QRect(0, 0, 1600, 1200));
        StillFrame& still = StillFrame::instance();
        still.showIn(window);
        const QImage image = window->grabFramebuffer();
        QCOMPARE(image.size(), QSize(1600, 1200));
        // 2x (3x would need 1440 rows): 800 x 960 at (400, 120).
        QCOMPARE(image.pixel(399, 600) & 0xFFFFFF, 0u);
        QCOMPARE(image.pixel(400, 600) & 0xFFFFFF, StillFrame::at(0, 240) & 0xFFFFFF);
        QCOMPARE(image.pixel(403, 121) & 0xFFFFFF, StillFrame::at(1, 0) & 0xFFFFFF);
        QCOMPARE(image.pixel(1199, 1079) & 0xFFFFFF, StillFrame::at(399, 479) & 0xFFFFFF);
        QCOMPARE(image.pixel(1200, 1079) & 0xFFFFFF, 0u);
        QCOMPARE(image.pixel(800, 119) & 0xFFFFFF, 0u);
    }

    void alwaysOnTopIsAboveOnTheServer() {
        QTest::keyClick(t->display1(), Qt::Key_F2);
        QTRY_VERIFY(t->display2() && t->display2()->isExposed());
        QTest::keyClick(t->display2(), Qt::Key_F3);
        QTRY_VERIFY(netWmState(t->display1()).contains("_NET_WM_STATE_ABOVE"));
        QTRY_VERIFY(netWmState(t->display2()).contains("_NET_WM_STATE_ABOVE"));
        QTest::keyClick(t->display1(), Qt::Key_F3);
        QTRY_VERIFY(!netWmState(t->display1()).contains("_NET_WM_STATE_ABOVE"));
        QTRY_VERIFY(!netWmState(t->display2()).contains("_NET_WM_STATE_ABOVE"));
    }

    void sizingStopsAtTheScreen() {
        ScreenWindow* window = t->display1();
        window->resize(1101, 720);  // the right border dragged far out
        QTRY_VERIFY(serverGeometry(window).width() > 400);
        QTest::qWait(500);  // the sizing settles
        const QRect client = serverGeometry(window);
        const QRect frame = window->frameGeometry();
        QVERIFY2(frame.top() >= 0 && frame.bottom() < 1200 && client.bottom() < 1200,
                 qPrintable(QString("%1 x %2 at %3, %4")
                                .arg(client.width()).arg(client.height()).arg(client.x()).arg(client.y())));
        QVERIFY(keepsAspect(client.size()));
        QCOMPARE(client.width() % 2, 0);
        QCOMPARE(settings.windowWidth[0], client.width());
        QCOMPARE(settings.windowHeight[0], client.height());
    }

    void aspectHoldsWhileTheUserDrags() {
        ScreenWindow* window = t->display1();
        // Alt + right button drag is openbox's resize; check before letting go.
        const QRect start = serverGeometry(window);
        const QPoint grab = start.topLeft() + QPoint(start.width() - 20, start.height() - 20);
        xdotool({"mousemove", QString::number(grab.x()), QString::number(grab.y())});
        xdotool({"keydown", "alt", "mousedown", "3"});
        for (int step = 1; step <= 4; ++step) {
            xdotool({"mousemove", QString::number(grab.x() + 60 * step), QString::number(grab.y() + 10 * step)});
            QTest::qWait(150);
        }
        QTRY_VERIFY(serverGeometry(window).width() > start.width() + 100);
        const QSize during = serverGeometry(window).size();
        xdotool({"mouseup", "3", "keyup", "alt"});
        QVERIFY2(keepsAspect(during), qPrintable(QString("%1 x %2").arg(during.width()).arg(during.height())));
        QTRY_VERIFY(keepsAspect(serverGeometry(window).size()));

        // The window manager has the aspect and the minimum size as hints.
        const QString hints = normalHints(window);
        QVERIFY2(hints.contains("minimum aspect ratio: 400/480") && hints.contains("maximum aspect ratio: 400/480"),
                 qPrintable(hints));
        QVERIFY2(hints.contains("minimum size: 400 by 480"), qPrintable(hints));
    }

    void pixelPerfectSizingStepsInWholeMultiples() {
        ScreenWindow* window = t->display1();
        QTest::keyClick(window, Qt::Key_F4);
        QTest::keyClick(window, Qt::Key_F4);
        QTRY_COMPARE(int(settings.pointScaling), 2);
        QTRY_VERIFY(normalHints(window).contains("resize increment: 400 by 480"));
        window->resize(1100, 1000);  // steps down to 2x, as a drag there would
        QTRY_COMPARE(serverGeometry(window).size(), QSize(800, 960));
        QTRY_COMPARE(window->size(), QSize(800, 960));
    }

    void storedSizesAreCheckedAndTheCheckedOnesSaved() {
        t.reset();
        startWithStoredSizes(20000, 24000, -320, -240, true);
        QTRY_VERIFY(t->display2() && t->display2()->isExposed());
        QTRY_COMPARE(serverGeometry(t->display1()).size(), QSize(400, 240));
        QTRY_COMPARE(serverGeometry(t->display2()).size(), QSize(320, 240));
        t->stop();
        QFile saved(t->settingsFile());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        Settings loaded;
        std::memcpy(&loaded, saved.readAll().constData(), kSettingsSize);
        QCOMPARE(loaded.windowWidth[0], 400);
        QCOMPARE(loaded.windowHeight[0], 240);
        QCOMPARE(loaded.windowWidth[1], 320);
        QCOMPARE(loaded.windowHeight[1], 240);
    }

    void splitPutsTopAboveBottomOnTheControlWindowsScreen() {
        for (int round = 0; round < 2; ++round) {
            QTest::keyClick(t->display1(), Qt::Key_F2);
            QTRY_VERIFY(t->display2() && t->display2()->isExposed());
            QTest::qWait(300);  // placed again once framed
            const QRect top = serverGeometry(t->display1());
            const QRect bottom = serverGeometry(t->display2());
            const QRect screen = t->control().screen()->geometry();
            QVERIFY2(top.bottom() < bottom.top(), qPrintable(QString("top %1,%2 %3x%4, bottom %5,%6")
                                                                 .arg(top.x()).arg(top.y()).arg(top.width())
                                                                 .arg(top.height()).arg(bottom.x()).arg(bottom.y())));
            QVERIFY(bottom.top() - top.bottom() < 80);  // right below, only a frame between
            QVERIFY(screen.contains(top) && screen.contains(bottom));
            QTest::keyClick(t->display1(), Qt::Key_F2);  // joined again, then split once more
            QTRY_VERIFY(!t->display2());
        }
    }
};

QTEST_MAIN(TestUiWindowManager)
#include "test_ui_window_manager.moc"
