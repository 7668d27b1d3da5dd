// The application end to end on the simulated board: windows, keys, menus,
// sizing, the frame dispatch, snapshots, the picture and the settings file.
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>

#include "core/capture_core.h"
#include "base/debug_log.h"
#include "core/link_stats.h"
#include "record/recording.h"
#include "test_ui_support.h"
#include "app/debug_console.h"

namespace {

QAction* findAction(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions())
        if (action->text() == text) return action;
    return nullptr;
}

QStringList actionTexts(QMenu* menu) {
    QStringList texts;
    for (QAction* action : menu->actions()) texts << action->text();
    return texts;
}

FrameBuffer* takeFreeBuffer() {
    if (!framePool.freeQueue.semaphore.try_acquire()) return nullptr;
    return framePool.freeQueue.pop();
}

int pngCount(const QString& folder) {
    return QDir(folder).entryList({"*.png"}, QDir::Files).size();
}

}  // namespace

class TestUiApp : public QObject {
    Q_OBJECT
    std::unique_ptr<TestApp> t;

private Q_SLOTS:
    void init() {
        t = std::make_unique<TestApp>();
        t->start();
    }
    void cleanup() { t.reset(); }

    void defaultStartShowsOneJoinedWindow() {
        QCOMPARE(t->control().windowTitle(), QString("Kestrel Capture"));
        QVERIFY(t->control().findChild<QPushButton*>("ctl1000"));
        QVERIFY(t->control().findChild<QLabel*>("ctl1009"));
        QVERIFY(t->display1());
        QVERIFY(!t->display2());
        QCOMPARE(t->display1()->title(), QString("Kestrel Capture"));
        QCOMPARE(t->display1()->size(), QSize(400, 480));
        QSlider* slider = t->control().volumeSlider();
        if (slider->isEnabled())
            QCOMPARE(25 - slider->value(), 7);  // 75 % from the top
        QVERIFY(waitForPaints(3));
    }

    void f2SplitsAndJoinsAtNaturalSizes() {
        QTest::keyClick(t->display1(), Qt::Key_F2);
        QTRY_VERIFY(t->display2());
        QCOMPARE(t->display1()->title(), QString("Kestrel Capture Top"));
        QCOMPARE(t->display2()->title(), QString("Kestrel Capture Bottom"));
        QCOMPARE(t->display1()->size(), QSize(400, 240));
        QCOMPARE(t->display2()->size(), QSize(320, 240));
        QVERIFY(waitForPaints(4));

        QTest::keyClick(t->display2(), Qt::Key_F2);
        QTRY_VERIFY(!t->display2());
        QCOMPARE(t->display1()->title(), QString("Kestrel Capture"));
        QCOMPARE(t->display1()->size(), QSize(400, 480));
    }

    void contextMenuShowsStateAndF4AlternatesFilter() {
        std::unique_ptr<QMenu> menu = t->display1()->createContextMenu();
        QCOMPARE(actionTexts(menu.get()),
                 QStringList({"Display type", "Split Window\tF2", "Always on top\tF3", "Scaling\tF4",
                              "", "Full Screen\tAlt+Enter", "Overscan\tPgUp/Dn", "", "Snapshot\tF12",
                              "Copy picture\tCtrl+C"}));
        QMenu* types = findAction(menu.get(), "Display type")->menu();
        QCOMPARE(actionTexts(types), QStringList({"2D", "3D side by side", "3D SBS stretched",
                                                  "NVidia 3D Vision", "DS (upscaled)", "DS (1:1)"}));
        struct Row {
            const char* text;
            bool checked, enabled;
        };
        for (const Row& row : {Row{"2D", true, true}, Row{"3D side by side", false, false},
                               Row{"3D SBS stretched", false, false},
                               Row{"NVidia 3D Vision", false, false},
                               Row{"DS (upscaled)", false, true}, Row{"DS (1:1)", false, true}}) {
            QAction* action = findAction(types, row.text);
            QVERIFY2(action->isChecked() == row.checked, row.text);
            QVERIFY2(action->isEnabled() == row.enabled, row.text);
        }
        QVERIFY(types->menuAction()->isEnabled());
        QVERIFY(!findAction(menu.get(), "Overscan\tPgUp/Dn")->isEnabled());
        QVERIFY(!findAction(menu.get(), "Split Window\tF2")->isChecked());
        QVERIFY(!findAction(menu.get(), "Full Screen\tAlt+Enter")->isChecked());

        auto scalingChecks = [this] {
            std::unique_ptr<QMenu> m = t->display1()->createContextMenu();
            QMenu* scaling = findAction(m.get(), "Scaling\tF4")->menu();
            QString checks;
            for (QAction* action : scaling->actions()) checks += action->isChecked() ? 'x' : '-';
            return checks;
        };
        QCOMPARE(actionTexts(findAction(menu.get(), "Scaling\tF4")->menu()),
                 QStringList({"Bilinear", "Point", "Pixel perfect"}));
        QCOMPARE(scalingChecks(), QString("x--"));
        QTest::keyClick(t->display1(), Qt::Key_F4);
        QTRY_COMPARE(int(settings.pointScaling), 1);
        QCOMPARE(scalingChecks(), QString("-x-"));
        QTest::keyClick(t->display1(), Qt::Key_F4);
        QTRY_COMPARE(int(settings.pointScaling), 2);
        QCOMPARE(scalingChecks(), QString("--x"));
        QTest::keyClick(t->display1(), Qt::Key_F4);
        QTRY_COMPARE(int(settings.pointScaling), 0);
        QCOMPARE(scalingChecks(), QString("x--"));
    }

    // At 1.8x: bilinear blends neighbours, point keeps pure colours in runs
    // of one and two pixels; pixel perfect draws whole multiples only.
    void f4ModesDrawTheirPixels() {
        ScreenWindow* window = t->display1();
        window->resize(720, 864);
        QTRY_COMPARE(window->size(), QSize(720, 864));
        StillFrame& still = StillFrame::instance();
        still.showIn(window);

        auto greys = [](const QImage& image) {
            int count = 0;
            for (int x = 100; x < 600; ++x) {
                const int g = qGreen(image.pixel(x, 400));
                if (g > 30 && g < 225) ++count;
            }
            return count;
        };
        settings.pointScaling = 0;
        QImage image = window->grabFramebuffer();
        QVERIFY2(greys(image) > 100, "bilinear blends");

        QTest::keyClick(window, Qt::Key_F4);
        QTRY_COMPARE(int(settings.pointScaling), 1);
        image = window->grabFramebuffer();
        QCOMPARE(greys(image), 0);
        QList<int> runs;  // lengths of runs of one colour along the row
        for (int x = 100, run = 0; x < 600; ++x) {
            ++run;
            if (image.pixel(x + 1, 400) != image.pixel(x, 400)) {
                runs << run;
                run = 0;
            }
        }
        runs.removeFirst();  // may start mid-run
        QVERIFY2(runs.contains(1) && runs.contains(2) && *std::max_element(runs.begin(), runs.end()) == 2,
                 "point scaling at 1.8x gives uneven pixels");

        // Pixel perfect steps the window down to a whole multiple: 1:1 here.
        QTest::keyClick(window, Qt::Key_F4);
        QTRY_COMPARE(int(settings.pointScaling), 2);
        QTRY_COMPARE(window->size(), QSize(400, 480));
        QTRY_COMPARE(settings.windowWidth[0], 400);
        image = window->grabFramebuffer();
        for (int y = 0; y < 480; y += 7)
            for (int x = 0; x < 400; x += 3)
                QCOMPARE(image.pixel(x, y) & 0xFFFFFF, StillFrame::at(x, y) & 0xFFFFFF);

        // Sizing in this mode snaps to whole multiples.
        window->resize(1000, 1200);
        QTRY_COMPARE(window->size(), QSize(800, 960));
        image = window->grabFramebuffer();
        QCOMPARE(image.pixel(0, 0) & 0xFFFFFF, StillFrame::at(0, 0) & 0xFFFFFF);
        QCOMPARE(image.pixel(3, 1) & 0xFFFFFF, StillFrame::at(1, 0) & 0xFFFFFF);  // 2x2 per pixel
        QCOMPARE(image.pixel(5, 3) & 0xFFFFFF, StillFrame::at(2, 1) & 0xFFFFFF);
    }

    void snapshotAndCopyKeys() {
        const QString out = t->home() + "/shots";
        QVERIFY(QDir().mkpath(out));
        applyOutputFolder(out.toStdString());
        QVERIFY(waitForPaints(2));
        QTest::keyClick(t->display1(), Qt::Key_F12);
        QTRY_COMPARE(pngCount(out), 1);
        t->display1()->command(kCmdSnapshot);
        QTRY_COMPARE(pngCount(out), 2);

        QTest::keyClick(t->display1(), Qt::Key_F2);
        QTRY_VERIFY(t->display2());
        StillFrame& still = StillFrame::instance();
        still.showIn(t->display1());
        QTest::keyClick(t->display1(), Qt::Key_C, Qt::ControlModifier);
        QImage copied = QGuiApplication::clipboard()->image();
        QCOMPARE(copied.size(), QSize(400, 240));  // the top window's own screen
        QCOMPARE(copied.pixel(0, 5), StillFrame::at(0, 5));
        QCOMPARE(copied.pixel(7, 9), StillFrame::at(7, 9));

        QTest::keyClick(t->display1(), Qt::Key_F2);
        QTRY_VERIFY(!t->display2());
        still.showIn(t->display1());
        t->display1()->command(kCmdCopyPicture);
        copied = QGuiApplication::clipboard()->image();
        QCOMPARE(copied.size(), QSize(400, 480));  // the display image as composed
        QCOMPARE(copied.pixel(3, 300), StillFrame::at(3, 300));
    }

    void f1OverlayShowsTheFigures() {
        ScreenWindow* window = t->display1();
        QVERIFY(waitForPaints(3));
        QTest::keyClick(window, Qt::Key_F1);
        QVERIFY(window->overlay().isVisible());
        // The sound plays: its figure is there from the start, not "sound off"
        // until the first second was counted.
        QVERIFY(!window->overlay().figures().counted);
        QVERIFY(window->overlay().figures().cushionMs >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(window->overlay().figures().fps > 0, 5000);
        QVERIFY(window->overlay().figures().latencyMs >= 0);
        QCOMPARE(window->overlay().figures().errors, 0);
        QVERIFY(!window->overlay().figures().recording);

        // Drawn over the window's corner only; the picture itself is unchanged.
        StillFrame& still = StillFrame::instance();
        still.showIn(window);
        const QImage shown = window->grabFramebuffer();
        QTest::keyClick(window, Qt::Key_F1);
        QVERIFY(!window->overlay().isVisible());
        const QImage plain = window->grabFramebuffer();
        int changed = 0;
        for (int y = 10; y < 80; ++y)
            for (int x = 10; x < 190; ++x) changed += shown.pixel(x, y) != plain.pixel(x, y);
        QVERIFY(changed > 1000);
        QCOMPARE(shown.pixel(300, 400), plain.pixel(300, 400));
        QCOMPARE(plain.pixel(20, 20) & 0xFFFFFF, StillFrame::at(20, 20) & 0xFFFFFF);
    }

    void displayTypeFromTheMenu() {
        t->display1()->command(kCmdTypeUpscaled);
        QTRY_COMPARE(int(settings.displayType), 5);
        QTRY_COMPARE(t->display1()->size(), QSize(320, 480));
        QVERIFY(waitForPaints(3));
    }

    void boardArrivalReopensTheBoard() {
        QVERIFY(waitForPaints(3));
        t->board().unplug();
        QTest::qWait(300);
        const uint64_t before = t->board().framesDelivered();
        t->board().replug();  // the arrival comes to the UI thread queued
        QTRY_VERIFY_WITH_TIMEOUT(t->board().framesDelivered() > before + 10, 5000);
    }

    void storedStereoTypesGetSizedWindowsWithoutPicture_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("split");
        QTest::addColumn<QSize>("size");
        QTest::newRow("3D side by side") << 2 << false << QSize(800, 480);
        QTest::newRow("3D SBS stretched, top") << 3 << true << QSize(800, 480);
        QTest::newRow("3D Vision") << 4 << false << QSize(400, 480);
    }
    void storedStereoTypesGetSizedWindowsWithoutPicture() {
        QFETCH(int, type);
        QFETCH(bool, split);
        QFETCH(QSize, size);
        t->control().screens().setLayout(type, split);
        QCOMPARE(t->display1()->size(), size);
        QVERIFY(waitForPaints(3));
        const QImage image = t->display1()->grabFramebuffer();
        QCOMPARE(image.pixel(size.width() / 2, size.height() / 4) & 0xFFFFFF, 0u);
    }

    void overscanKeys() {
        settings.overscan = 0.04f;
        settings.overscanOn = 0;
        QTest::keyClick(t->display1(), Qt::Key_PageUp);  // only switches it on
        QCOMPARE(int(settings.overscanOn), 1);
        QCOMPARE(settings.overscan, 0.04f);
        for (int i = 0; i < 3; ++i) QTest::keyClick(t->display1(), Qt::Key_PageUp);
        QVERIFY(qAbs(settings.overscan - 0.046f) < 1e-6f);

        // In a normal window overscan leaves the picture whole: its corner
        // pixels are on the window's corners.
        QVERIFY(waitForPaints(2));
        const QImage image = t->display1()->grabFramebuffer();
        const usb::SimBoard::Rgb corner = usb::SimBoard::expectedPixel(0, false, 0, 0);
        QCOMPARE(image.pixel(0, 0) & 0xFFFFFF, uint(qRgb(corner.r, corner.g, corner.b)) & 0xFFFFFF);
        QVERIFY((image.pixel(399, 0) & 0xFFFFFF) != 0);
    }

    void sizingKeepsTheAspectRatio_data() {
        QTest::addColumn<QSize>("proposed");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("right edge") << QSize(601, 480) << QSize(600, 720);
        QTest::newRow("bottom edge") << QSize(400, 500) << QSize(416, 499);
        QTest::newRow("corner") << QSize(500, 900) << QSize(750, 900);
    }
    void sizingKeepsTheAspectRatio() {
        QFETCH(QSize, proposed);
        QFETCH(QSize, expected);
        ScreenWindow* window = t->display1();
        window->resize(proposed);
        QTRY_COMPARE(window->size(), expected);
        QCOMPARE(window->title(), QString("%1 x %2").arg(expected.width()).arg(expected.height()));
        QCOMPARE(settings.windowWidth[0], expected.width());
        QCOMPARE(settings.windowHeight[0], expected.height());
        QTRY_COMPARE(window->title(), QString("Kestrel Capture"));
    }

    void pictureIsUpright() {
        QVERIFY(waitForPaints(5));
        const QImage image = t->display1()->grabFramebuffer();
        QCOMPARE(image.size(), QSize(400, 480));
        // Points of both screens; the held frame is one of the last few.
        struct Point {
            bool bottom;
            int x, y;
        };
        std::vector<Point> points;
        for (int y = 0; y < 240; y += 17)
            for (int x = 0; x < 400; x += 23) {
                points.push_back({false, x, y});
                if (x < 320) points.push_back({true, x, y});
            }
        points.push_back({false, 399, 239});
        points.push_back({true, 319, 239});
        auto matches = [&](uint64_t frame) {
            for (const Point& p : points) {
                const usb::SimBoard::Rgb want = usb::SimBoard::expectedPixel(frame, p.bottom, p.x, p.y);
                const QRgb got = p.bottom ? image.pixel(40 + p.x, 240 + p.y) : image.pixel(p.x, p.y);
                if (qAbs(qRed(got) - want.r) > 2 || qAbs(qGreen(got) - want.g) > 2 ||
                    qAbs(qBlue(got) - want.b) > 2)
                    return false;
            }
            return true;
        };
        const uint64_t newest = t->board().nextFrameNumber() - 1;
        bool found = false;
        for (uint64_t back = 0; back < 24 && back <= newest && !found; ++back)
            found = matches(newest - back);
        QVERIFY2(found, "no recent frame matches the window's picture");
        // Beside the narrower bottom screen the window stays black.
        QCOMPARE(image.pixel(0, 240) & 0xFFFFFF, 0u);
        QCOMPARE(image.pixel(399, 479) & 0xFFFFFF, 0u);
    }

    void threeSnapshotClicksBeforeAFrameGiveOnePng() {
        const QString out = t->home() + "/shots";
        QVERIFY(QDir().mkpath(out));
        applyOutputFolder(out.toStdString());
        auto* snapshot = t->control().findChild<QPushButton*>("ctl1005");
        // No event is handled between the clicks, so no frame comes between.
        snapshot->click();
        snapshot->click();
        snapshot->click();
        QTRY_COMPARE(pngCount(out), 1);
        QVERIFY(waitForPaints(10));
        QTest::qWait(200);
        QCOMPARE(pngCount(out), 1);
        QVERIFY(QFile::exists(out + "/00000.png"));
    }

    void splitDispatchHoldsOneReferencePerWindow() {
        QTest::keyClick(t->display1(), Qt::Key_F2);
        QTRY_VERIFY(t->display2());
        // Stop the reader and let the frames on their way arrive.
        usbThread_stop();
        QTest::qWait(100);

        FrameBuffer* first = takeFreeBuffer();
        FrameBuffer* second = takeFreeBuffer();
        QVERIFY(first && second);
        t->control().dispatchFrame(first);
        QCOMPARE(first->refCount, 2);
        const int32_t freeBefore = framePool.freeQueue.size();
        QCOMPARE(t->display1()->heldFrame(), first);
        QCOMPARE(t->display2()->heldFrame(), first);
        t->control().dispatchFrame(second);
        QCOMPARE(second->refCount, 2);
        QCOMPARE(first->refCount, 0);  // both windows moved on: back in the pool
        QCOMPARE(framePool.freeQueue.size(), freeBefore + 1);
    }

    void volumeSliderAndForwardedKeys() {
        QSlider* slider = t->control().volumeSlider();
        if (!slider->isEnabled()) QSKIP("no sound output in this environment");
        slider->setValue(25);  // top: loud
        QCOMPARE(settings.volume, 100);
        slider->setValue(0);
        QCOMPARE(settings.volume, 0);
        slider->setValue(10);
        QTest::keyClick(t->display1(), Qt::Key_Up);
        QCOMPARE(slider->value(), 11);
        QCOMPARE(settings.volume, 44);
        QTest::keyClick(t->display1(), Qt::Key_Down);
        QCOMPARE(settings.volume, 40);
    }

    void debugConsoleShowsOutputOnlyWhileOpen() {
        t->control().toggleDebugConsole();
        DebugConsole* console = t->control().debugConsole();
        QVERIFY(console->isVisible());
        QCOMPARE(console->windowTitle(), QString("Kestrel Capture debug"));
        QVERIFY(debugConsoleOpen.load());
        debugPrintf("first probe line\n");
        QTRY_VERIFY(console->toPlainText().contains("first probe line"));

        t->control().toggleDebugConsole();
        QVERIFY(!console->isVisible());
        QVERIFY(!debugConsoleOpen.load());
        QCOMPARE(debugOutput(), -1);
        debugPrintf("while closed\n");

        console->show();
        console->close();  // the close box closes it as well
        QVERIFY(!debugConsoleOpen.load());

        t->control().toggleDebugConsole();
        debugPrintf("second probe line\n");
        QTRY_VERIFY(console->toPlainText().contains("second probe line"));
        QVERIFY(!console->toPlainText().contains("while closed"));
        t->control().toggleDebugConsole();
    }

    void recordButtonStartsAndStops() {
        const QString out = t->home() + "/videos";
        QVERIFY(QDir().mkpath(out));
        applyOutputFolder(out.toStdString());
        auto* record = t->control().findChild<QPushButton*>("ctl1000");
        auto* video = t->control().findChild<QPushButton*>("ctl1016");
        record->click();
        if (!t->control().isRecording()) {
            // A failed start leaves the stopped state on the status line.
            QVERIFY(!record->isChecked());
            QVERIFY(t->control().statusText().endsWith("Stopped."));
            QSKIP("recording cannot start in this environment");
        }
        QVERIFY(record->isChecked());
        QVERIFY(!video->isEnabled());
        // The new file at once, not the last recording's "Stopped.".
        QVERIFY2(t->control().statusText().startsWith(out + "/00000.avi\n00:00:0"),
                 qPrintable(t->control().statusText()));
        QTRY_VERIFY(recordingRunning());
        std::unique_ptr<QMenu> menu = t->display1()->createContextMenu();
        QVERIFY(!findAction(menu.get(), "Display type")->isEnabled());
        QVERIFY(waitForPaints(20, 15000));  // a recording shares the machine with its encoder
        // A snapshot's result outlives several refreshes of the recording status.
        t->control().findChild<QPushButton*>("ctl1005")->click();
        QTRY_VERIFY(t->control().statusText().contains("\nSaved "));
        QTest::qWait(1500);
        QVERIFY2(t->control().statusText().contains("\nSaved "), qPrintable(t->control().statusText()));
        // The screensaver stays away and the overlay shows the recording.
        QTRY_VERIFY(t->control().screens().inhibitor().wanted());
        t->display1()->overlay().toggle();
        QTRY_VERIFY_WITH_TIMEOUT(t->display1()->overlay().figures().recording, 5000);
        record->click();
        QTRY_VERIFY(!t->control().screens().inhibitor().wanted());
        QVERIFY(!t->control().isRecording());
        QVERIFY(!record->isChecked());
        QVERIFY(video->isEnabled());
        // (The snapshot's result may still stand under it.)
        QVERIFY(t->control().statusText().contains("00000.avi\nStopped."));
        QVERIFY(QFile::exists(out + "/00000.avi"));
    }

    void closingWhileRecordingFinishesTheRecording() {
        const QString out = t->home() + "/videos";
        QVERIFY(QDir().mkpath(out));
        applyOutputFolder(out.toStdString());
        t->control().findChild<QPushButton*>("ctl1000")->click();
        if (!t->control().isRecording()) QSKIP("recording cannot start in this environment");
        QVERIFY(waitForPaints(20, 15000));  // a recording shares the machine with its encoder
        t->control().close();
        QVERIFY(!t->control().isRecording());
        QVERIFY(!recordingRunning());
        QVERIFY(!t->display1());
        QVERIFY(QFileInfo(out + "/00000.avi").size() > 0);
    }

    void recordingThatFailsOnItsOwnLeavesRecordingMode() {
        const QString out = t->home() + "/gone";
        QVERIFY(QDir().mkpath(out));
        applyOutputFolder(out.toStdString());
        auto* record = t->control().findChild<QPushButton*>("ctl1000");
        record->click();
        if (!t->control().isRecording()) QSKIP("recording cannot start in this environment");
        QVERIFY(waitForPaints(10));
        QVERIFY(QDir(out).removeRecursively());
        // The next blink finds the graph stopped and tells why.
        QTRY_VERIFY_WITH_TIMEOUT(!t->control().isRecording(), 10000);
        QVERIFY(!record->isChecked());
        QVERIFY(t->control().findChild<QPushButton*>("ctl1016")->isEnabled());
        QVERIFY2(t->control().statusText().contains("Stopped: "), qPrintable(t->control().statusText()));
    }

    void closingAScreenWindowEndsTheApplicationAndSavesSettings() {
        QTest::keyClick(t->display1(), Qt::Key_F2);
        QTRY_VERIFY(t->display2());
        QTest::keyClick(t->display2(), Qt::Key_F4);
        QTRY_COMPARE(int(settings.pointScaling), 1);

        t->display2()->close();
        QTRY_VERIFY(t->control().hasClosed());
        QVERIFY(!t->display1() && !t->display2());
        const QString file = t->settingsFile();
        QVERIFY(!QFile::exists(file));  // written at exit, not before
        t->stop();

        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray bytes = saved.readAll();
        QVERIFY(bytes.size() >= int(kSettingsSize));
        Settings loaded;
        std::memcpy(&loaded, bytes.constData(), kSettingsSize);
        QCOMPARE(loaded.magic, kSettingsMagic);
        QCOMPARE(int(loaded.splitWindows), 1);
        QCOMPARE(int(loaded.pointScaling), 1);
        QCOMPARE(loaded.displayType, 1u);
        QCOMPARE(loaded.windowWidth[0], 400);
        QCOMPARE(loaded.windowHeight[0], 240);
        QCOMPARE(loaded.windowWidth[1], 320);
        QCOMPARE(loaded.windowHeight[1], 240);
    }
};

QTEST_MAIN(TestUiApp)
#include "test_ui_app.moc"
