// "Share as camera (PipeWire)" in the control window: unavailable without
// PipeWire (with the reason), remembered across starts in a file of its own,
// and the status line when PipeWire stops and returns under a running share.
#include <QMenu>
#include <QTimer>

#include "app/camera_share.h"
#include "support/private_pipewire.h"
#include "test_ui_support.h"

namespace {

// The menu's entry, as the user sees it when the menu opens.
struct MenuEntry {
    bool found = false, enabled = false, checked = false;
    QString toolTip;
};

MenuEntry openMenu(ControlWindow& window) {
    MenuEntry entry;
    QTimer::singleShot(200, [&entry] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* action : menu->actions())
            if (action->text().remove('&') == "Share as camera (PipeWire)")
                entry = {true, action->isEnabled(), action->isChecked(), action->toolTip()};
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20), window.mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(&window, &event);
    return entry;
}

void setEnvironment(const Environment& env) {
    for (const auto& [key, value] : env) qputenv(key.c_str(), QByteArray::fromStdString(value));
}

}  // namespace

class TestUiCameraShare : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void withoutPipeWireTheItemSaysWhyAndTheChoiceIsKept() {
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        qputenv("PIPEWIRE_RUNTIME_DIR", runtime.path().toUtf8());
        qunsetenv("PIPEWIRE_REMOTE");
        TestApp t;
        t.start();
        CameraShare* share = t.control().cameraShare();
        QVERIFY(share);
        QTRY_VERIFY_WITH_TIMEOUT(!share->available(), 5000);
        const MenuEntry entry = openMenu(t.control());
        QVERIFY(entry.found);
        QVERIFY(!entry.enabled);
        QVERIFY2(entry.toolTip.contains("PipeWire is not running"), qPrintable(entry.toolTip));
        QVERIFY(waitForPaints(3));  // nothing stalls

        // Chosen while PipeWire is away (by the switch, say): kept for the next start.
        share->setSharing(true);
        share->setScale(2);
        t.stop();
        const qint64 settingsSize = QFileInfo(t.settingsFile()).size();
        QVERIFY(QFile::exists(t.home() + "/config/Wren Capture/camera-share"));
        t.start();
        QVERIFY(t.control().cameraShare()->sharing());
        QCOMPARE(t.control().cameraShare()->scale(), 2);
        QVERIFY(openMenu(t.control()).checked);
        t.stop();
        QCOMPARE(QFileInfo(t.settingsFile()).size(), settingsSize);  // the settings file's layout is untouched
    }

    void statusLineFollowsPipeWireStoppingAndReturning() {
        const std::string missing = PrivatePipeWire::missingPrograms();
        if (!missing.empty()) QSKIP(qPrintable(QString::fromStdString("PipeWire programs missing: " + missing)));
        PrivatePipeWire pipewire;
        std::string error;
        QVERIFY2(pipewire.start(&error), error.c_str());
        TestApp t;  // its own config folder, set after the daemon's
        setEnvironment(pipewire.environment());
        qputenv("XDG_CONFIG_HOME", (t.home() + "/config").toUtf8());
        t.start();
        CameraShare* share = t.control().cameraShare();
        QTRY_VERIFY_WITH_TIMEOUT(share->available(), 5000);
        QVERIFY(openMenu(t.control()).enabled);
        share->setSharing(true);
        QTRY_COMPARE_WITH_TIMEOUT(t.control().statusText(), QStringLiteral("Sharing as camera \"Kestrel Capture\""), 5000);
        QVERIFY(pipewire.waitForNode("kestrel-capture-video", 5000));

        pipewire.kill();
        QTRY_VERIFY_WITH_TIMEOUT(t.control().statusText().startsWith("PipeWire stopped"), 5000);
        QVERIFY(waitForPaints(3));  // the picture goes on
        QVERIFY2(pipewire.restart(&error), error.c_str());
        QTRY_COMPARE_WITH_TIMEOUT(t.control().statusText(), QStringLiteral("PipeWire is back: sharing as camera again"), 10000);
        QVERIFY(pipewire.waitForNode("kestrel-capture-video", 5000));
        t.stop();
    }
};

QTEST_MAIN(TestUiCameraShare)
#include "test_ui_camera_share.moc"
