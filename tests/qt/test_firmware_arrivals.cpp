// The whole application with a board that needs a firmware update, and the
// board arriving again while the update dialog is open: one dialog at a time,
// never stuck, never quitting after a successful update.
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <optional>

#include "../tools/synthetic_image.h"
#include "app/board_status.h"
#include "core/capture_core.h"
#include "core/device.h"
#include "core/link_stats.h"
#include "firmware/firmware_resources.h"
#include "firmware/qt/firmware_dialog.h"
#include "support/private_folders.h"
#include "test_ui_support.h"

namespace {

QList<FirmwareDialog*> openDialogs() {
    QList<FirmwareDialog*> dialogs;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<FirmwareDialog*>(w); dialog && dialog->isVisible()) dialogs << dialog;
    return dialogs;
}

QMessageBox* openBox() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

// The board pulled out and put back: the application sees a new arrival.
void replug(usb::SimBoard& board) {
    board.unplug();
    board.flash().attach();
    board.replug();
}

}  // namespace

class FirmwareArrivalsTest : public QObject {
    Q_OBJECT
    std::optional<PrivateFolders> folders;
    std::unique_ptr<TestApp> t;
    std::vector<uint8_t> stream = synthetic::compress(synthetic::image(4), 0);
    FirmwareResource table[1] = {{104, stream.data(), stream.size()}};

    // Starts the application, whose start shows the update dialog modally;
    // `drive` runs inside it. Whatever `drive` leaves open is cancelled, so a
    // failed check cannot hang the test.
    void startWith(const std::function<void(FirmwareDialog*)>& drive) {
        QTimer::singleShot(0, [&] {
            const QList<FirmwareDialog*> dialogs = openDialogs();
            QCOMPARE(dialogs.size(), 1);
            drive(dialogs.front());
            QDeadlineTimer deadline(30000);
            while (!openDialogs().isEmpty() && openDialogs().front()->updateRunning() && !deadline.hasExpired())
                QTest::qWait(10);
            if (QMessageBox* box = openBox()) box->close();
            for (FirmwareDialog* dialog : openDialogs()) dialog->done(-1);
        });
        t->start();
    }

private Q_SLOTS:
    void init() {
        folders.emplace();
        setFirmwareResources(table, 1);
        t = std::make_unique<TestApp>();
        usb::SimBoard& board = t->board();
        board.setConfig(4, 5, 0, 0);
        board.setReconfigureDelay(20);
        board.flash().setTimeScale(0);
        board.flash().loadFactoryContent(4);
    }
    void cleanup() {
        t.reset();
        setFirmwareResources(nullptr, 0);
        folders.reset();
    }

    // While the updated board restarts the status line says so, never that no
    // board was found; once back it names the new firmware.
    void statusLineFollowsTheRestart() {
        usb::SimBoard& board = t->board();
        board.setReconfigureDelay(1500);
        int result = -2;
        startWith([&](FirmwareDialog* dialog) {
            connect(dialog, &QDialog::finished, [&](int r) { result = r; });
            dialog->startButton()->click();
            QTRY_COMPARE_WITH_TIMEOUT(result, 1, 30000);
        });
        QCOMPARE(result, 1);
        QCOMPARE(t->control().statusText(), QString::fromStdString(boardRestartingText()));
        QTRY_COMPARE_WITH_TIMEOUT(t->control().statusText(),
                                  QStringLiteral("Firmware updated: the capture board runs firmware 8.0 now."), 10000);
        QCOMPARE(currentDevice()->openState, int32_t{Streaming});
    }

    // Cut off right after block 0 was erased, so the retry also needs the
    // identity kept on disk. The board comes back while the failure box is
    // up: the open dialog takes it, Retry updates it over the new connection
    // and the application carries on.
    void arrivalWhileTheFailureBoxIsUp() {
        usb::SimBoard& board = t->board();
        int result = -2;
        startWith([&](FirmwareDialog* dialog) {
            connect(dialog, &QDialog::finished, [&](int r) { result = r; });
            board.flash().unplugAfter(14);
            dialog->startButton()->click();
            QTRY_VERIFY(openBox());
            QCOMPARE(openBox()->windowTitle(), QStringLiteral("Error (385)"));

            replug(board);
            QTest::qWait(100);
            QCOMPARE(openDialogs().size(), 1);
            QCOMPARE(currentDevice()->openState, int32_t{NeedsUpdate});

            openBox()->button(QMessageBox::Ok)->click();
            QTRY_VERIFY(dialog->startButton()->isEnabled());
            QVERIFY(dialog->cancelButton()->isEnabled());
            QCOMPARE(dialog->startButton()->text(), QStringLiteral("Retry"));
            dialog->startButton()->click();
            QTRY_COMPARE_WITH_TIMEOUT(result, 1, 30000);
        });
        QCOMPARE(result, 1);
        QVERIFY(!t->control().hasClosed());
        // The reloaded board comes back with current firmware and streams.
        QTRY_COMPARE_WITH_TIMEOUT(currentDevice()->openState, int32_t{Streaming}, 10000);
        QVERIFY(openDialogs().isEmpty());
        QVERIFY(waitForPaints(3));
    }

    // The board was updated on its other connection (or elsewhere) and comes
    // back streaming while the dialog waits, and again while its box is up:
    // the dialog closes with success both times, and nothing quits.
    void successOnTheOtherConnectionClosesTheDialog() {
        for (const bool boxUp : {false, true}) {
            if (boxUp) {
                cleanup();
                init();
            }
            usb::SimBoard& board = t->board();
            int result = -2;
            startWith([&](FirmwareDialog* dialog) {
                connect(dialog, &QDialog::finished, [&](int r) { result = r; });
                if (boxUp) {
                    board.flash().unplugAfter(3000);
                    dialog->startButton()->click();
                    QTRY_VERIFY(openBox());
                }
                board.unplug();
                board.setConfig(4, 8, 0, 0);
                board.flash().attach();
                board.replug();
                QTRY_COMPARE(result, 1);
                QVERIFY(!openBox());
            });
            QCOMPARE(result, 1);
            QVERIFY(!t->control().hasClosed());
            QCOMPARE(currentDevice()->openState, int32_t{Streaming});
            QVERIFY(waitForPaints(3));
        }
    }

    // An arrival while the worker holds the device lock: the user interface
    // does not wait for it, and the arrival is taken once the update ended.
    // Here the board reports current firmware by then, so the failed update
    // ends in success instead of a box.
    void arrivalDuringARunningUpdateIsTakenAfterIt() {
        usb::SimBoard& board = t->board();
        usb::SimFlash::Timing slow;
        slow.blockEraseUs = 500000;  // seven erases before the bad page: 3.5 s
        slow.pageProgramUs = 0;
        board.flash().setTiming(slow);
        board.flash().setTimeScale(1.0);
        board.flash().setBadPage(0x60000);  // fails after six erases
        int result = -2;
        startWith([&](FirmwareDialog* dialog) {
            connect(dialog, &QDialog::finished, [&](int r) { result = r; });
            dialog->startButton()->click();
            QTRY_VERIFY(dialog->progressBar()->value() > 0);

            board.setConfig(4, 8, 0, 0);
            QElapsedTimer clock;
            clock.start();
            QVERIFY(firmwareDialogTakesArrival(usb::SimBoard::kInterfaceClass));
            QVERIFY(clock.elapsed() < 1000);  // far less than the update takes
            QVERIFY(dialog->updateRunning());
            QCOMPARE(result, -2);
            QVERIFY(waitForPaints(2));  // frames still reach the screen meanwhile
            QVERIFY(dialog->updateRunning());

            QTRY_COMPARE_WITH_TIMEOUT(result, 1, 30000);
            QVERIFY(!openBox());
        });
        QCOMPARE(result, 1);
        QVERIFY(!t->control().hasClosed());
        QCOMPARE(currentDevice()->openState, int32_t{Streaming});
    }
};

QTEST_MAIN(FirmwareArrivalsTest)
#include "test_firmware_arrivals.moc"
