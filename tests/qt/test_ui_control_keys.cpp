// The screen windows' keys pressed while the control window has the focus.
#include <QClipboard>
#include <QPushButton>

#include "settings/settings.h"
#include "test_ui_support.h"

namespace {

int pngCount(const QString& folder) { return QDir(folder).entryList({"*.png"}, QDir::Files).size(); }

}  // namespace

class TestUiControlKeys : public QObject {
    Q_OBJECT
    std::unique_ptr<TestApp> t;

private Q_SLOTS:
    void init() {
        t = std::make_unique<TestApp>();
        t->start();
    }
    void cleanup() { t.reset(); }

    // The keys that make sense for the whole program also work while the
    // control window has the focus; F1, F4, F11 and Ctrl+C act on the screen
    // window that was active last.
    void screenKeysWorkFromTheControlWindow() {
        const QString out = t->home() + "/shots";
        QVERIFY(QDir().mkpath(out));
        applyOutputFolder(out.toStdString());
        QVERIFY(waitForPaints(2));
        QWidget* focused = t->control().findChild<QPushButton*>("ctl1005");  // a button has the focus
        focused->setFocus();
        auto press = [focused](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QTest::keyClick(focused, key, modifiers);
        };

        press(Qt::Key_F12);
        QTRY_COMPARE(pngCount(out), 1);
        press(Qt::Key_F1);
        QVERIFY(t->display1()->overlay().isVisible());
        press(Qt::Key_F1);
        QVERIFY(!t->display1()->overlay().isVisible());
        press(Qt::Key_F4);
        QTRY_COMPARE(int(settings.pointScaling), 1);

        press(Qt::Key_F2);
        QTRY_VERIFY(t->display2());
        // The bottom window was active last: the keys go there.
        t->display2()->requestActivate();
        QTRY_COMPARE(QGuiApplication::focusWindow(), static_cast<QWindow*>(t->display2()));
        t->control().activateWindow();
        QTRY_VERIFY(t->control().isActiveWindow());
        press(Qt::Key_F1);
        QVERIFY(t->display2()->overlay().isVisible());
        QVERIFY(!t->display1()->overlay().isVisible());
        StillFrame& still = StillFrame::instance();
        still.showIn(t->display2());
        press(Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->image().size(), QSize(320, 240));
        press(Qt::Key_F11);
        QTRY_VERIFY(t->display2()->isFullScreen());
        QVERIFY(!t->display1()->isFullScreen());
        press(Qt::Key_F11);
        QTRY_VERIFY(!t->display2()->isFullScreen());
        press(Qt::Key_F2);
        QTRY_VERIFY(!t->display2());
    }
};

QTEST_MAIN(TestUiControlKeys)
#include "test_ui_control_keys.moc"
