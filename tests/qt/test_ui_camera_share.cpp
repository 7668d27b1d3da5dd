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

    // The node follows the picture's size, the display type's and then the
    // chosen scale's: a connected consumer is renegotiated and goes on
    // taking frames, and a new one is offered the new size.
    void cameraFollowsTheDisplayTypeAndTheScale() {
        const std::string missing = PrivatePipeWire::missingPrograms();
        if (!missing.empty()) QSKIP(qPrintable(QString::fromStdString("PipeWire programs missing: " + missing)));
        PrivatePipeWire pipewire;
        std::string error;
        QVERIFY2(pipewire.start(&error), error.c_str());
        TestApp t;
        setEnvironment(pipewire.environment());
        qputenv("XDG_CONFIG_HOME", (t.home() + "/config").toUtf8());
        t.start();
        CameraShare* share = t.control().cameraShare();
        share->setSharing(true);
        QVERIFY(pipewire.waitForNode("kestrel-capture-video", 10000));
        ChildProcess consumer;
        QVERIFY(consumer.start({"gst-launch-1.0", "pipewiresrc", "target-object=kestrel-capture-video", "!",
                                "video/x-raw,format=BGRx", "!", "fakesink"},
                               pipewire.environment(), pipewire.folder() + "/consumer.log"));
        struct Step {
            int type, scale, width, height;
        } steps[] = {{1, 1, 400, 480}, {5, 1, 320, 480}, {5, 3, 960, 1440}};
        for (const Step& step : steps) {
            if (step.type != int(settings.displayType)) t.control().postSetLayout(false, step.type);
            share->setScale(step.scale);
            const auto size = [share] {
                const PipeWireShare::Stats s = share->share().stats();
                return QSize(s.width, s.height);
            };
            QTRY_COMPARE_WITH_TIMEOUT(size(), QSize(step.width, step.height), 10000);
            const PipeWireShare::Stats before = share->share().stats();
            QTRY_VERIFY_WITH_TIMEOUT(share->share().stats().queued > before.queued + 30, 5000);
            const std::string caps = QStringLiteral("width=(int)%1, height=(int)%2")
                                         .arg(step.width).arg(step.height).toStdString();
            const std::string fresh = runForOutput({"gst-launch-1.0", "-v", "pipewiresrc",
                                                    "target-object=kestrel-capture-video", "num-buffers=5", "!",
                                                    "video/x-raw", "!", "fakesink"},
                                                   pipewire.environment(), 10000);
            QVERIFY2(fresh.find(caps) != std::string::npos, fresh.c_str());
        }
        QVERIFY(consumer.running());
        consumer.stop();
        t.stop();
    }

    // A consumer that takes a frame only every 100 ms holds every buffer most
    // of the time: frames are dropped, the picture on screen goes on.
    void aSlowConsumerCostsFramesNotThePicture() {
        const std::string missing = PrivatePipeWire::missingPrograms();
        if (!missing.empty()) QSKIP(qPrintable(QString::fromStdString("PipeWire programs missing: " + missing)));
        PrivatePipeWire pipewire;
        std::string error;
        QVERIFY2(pipewire.start(&error), error.c_str());
        TestApp t;
        setEnvironment(pipewire.environment());
        qputenv("XDG_CONFIG_HOME", (t.home() + "/config").toUtf8());
        t.start();
        CameraShare* share = t.control().cameraShare();
        share->setSharing(true);
        QVERIFY(pipewire.waitForNode("kestrel-capture-video", 10000));
        ChildProcess consumer;
        QVERIFY(consumer.start({"gst-launch-1.0", "pipewiresrc", "target-object=kestrel-capture-video", "!",
                                "video/x-raw,format=BGRx", "!", "identity", "sleep-time=100000", "!", "fakesink"},
                               pipewire.environment()));
        QTRY_VERIFY_WITH_TIMEOUT(share->share().stats().noBuffer > 20, 10000);
        const int32_t paints = linkStats.paintCounter.load();
        QTest::qWait(2000);
        QVERIFY2(linkStats.paintCounter.load() - paints > 30, "the screen window fell behind");
        QVERIFY(consumer.running());
        consumer.stop();
        t.stop();
    }
};

QTEST_MAIN(TestUiCameraShare)
#include "test_ui_camera_share.moc"
