// The firmware update dialog with the update worker, on the simulated board.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <mutex>
#include <optional>

#include "../tools/synthetic_image.h"
#include "core/device.h"
#include "firmware/firmware_resources.h"
#include "firmware/firmware_update.h"
#include "firmware/qt/firmware_dialog.h"
#include "support/private_folders.h"
#include "usb/sim/sim_board.h"
#include "widgets/whole_paths.h"

namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* parent = nullptr;
    int shown = 0;
};

// Answers the next message box with OK once it is up, noting what it said.
void answerNextMessageBox(SeenBox* seen) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen->title = box->windowTitle();
        // As read: paths are shown with word joiners and no-break spaces.
        seen->text = box->text().remove(QChar(0x2060)).replace(QChar(0x00A0), ' ');
        seen->icon = box->icon();
        seen->parent = box->parentWidget();
        ++seen->shown;
        box->button(QMessageBox::Ok)->click();
        timer->deleteLater();
    });
    timer->start(20);
}

void useDevice(UsbDevice* device) {
    std::lock_guard<std::mutex> lock(deviceLock);
    setCurrentDevice(device);
}

}  // namespace

class FirmwareDialogTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        folders_.emplace();
        useDevice(&nullDevice);
    }
    void cleanup() { folders_.reset(); }

    void cancelBeforeStartEndsWithZero() {
        QWidget owner;
        int result = -1;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<FirmwareDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Firmware Update"));
            QVERIFY(!(dialog->windowFlags() & Qt::WindowCloseButtonHint));
            const QLabel* label = dialog->findChild<QLabel*>();
            QVERIFY(label);
            QCOMPARE(label->text(), QStringLiteral("Kestrel Capture firmware needs to be updated. Push Start to begin.\n"
                                                   "!! DO NOT disconnect the Kestrel while update is running !!"));
            QCOMPARE(dialog->progressBar()->minimum(), 0);
            QCOMPARE(dialog->progressBar()->maximum(), 1000);
            QCOMPARE(dialog->startButton()->text(), QStringLiteral("Start"));
            QCOMPARE(dialog->cancelButton()->text(), QStringLiteral("Cancel"));
            QVERIFY(dialog->cancelButton()->isDefault());
            dialog->cancelButton()->click();
        });
        result = runFirmwareUpdateDialog(&owner);
        QCOMPARE(result, 0);
    }

    void deviceNotWaitingShowsError64ThenOffersRetry() {
        FirmwareDialog dialog(nullptr);
        dialog.show();
        SeenBox seen;
        answerNextMessageBox(&seen);
        dialog.startButton()->click();
        QVERIFY(!dialog.startButton()->isEnabled());
        QVERIFY(!dialog.cancelButton()->isEnabled());
        QTRY_COMPARE(seen.shown, 1);
        QCOMPARE(seen.title, QStringLiteral("Error (64)"));
        QCOMPARE(seen.text, QStringLiteral("Failed!"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.parent, &dialog);
        QTRY_COMPARE(dialog.startButton()->text(), QStringLiteral("Retry"));
        QVERIFY(dialog.startButton()->isEnabled());
        QVERIFY(dialog.cancelButton()->isEnabled());
    }

    // A page that fails, then a retry that programs the board: the dialog
    // ends with 1 and the progress bar went up to the end meanwhile.
    void failureThenSuccessfulRetry() {
        const std::vector<uint8_t> stream = synthetic::compress(synthetic::image(4));
        const FirmwareResource table[] = {{104, stream.data(), stream.size()}};
        setFirmwareResources(table, 1);
        usb::SimBoard board;
        board.setConfig(4, 5, 0, 0);
        board.flash().setTimeScale(0);
        board.flash().loadFactoryContent(4);
        board.flash().setBadPage(0x20000);
        kestrelDevice.setBackend(&board);
        QVERIFY(kestrelDevice.open(nullptr));
        QCOMPARE(kestrelDevice.openState, int32_t{NeedsUpdate});
        useDevice(&kestrelDevice);

        FirmwareDialog dialog(nullptr);
        int highest = 0;
        connect(dialog.progressBar(), &QProgressBar::valueChanged, [&](int v) { highest = std::max(highest, v); });
        int result = -1;
        connect(&dialog, &QDialog::finished, [&](int r) { result = r; });
        dialog.open();

        SeenBox seen;
        answerNextMessageBox(&seen);
        dialog.startButton()->click();
        QTRY_COMPARE(seen.shown, 1);
        QCOMPARE(seen.title, QStringLiteral("Error (385)"));
        QTRY_COMPARE(dialog.startButton()->text(), QStringLiteral("Retry"));
        QCOMPARE(dialog.progressBar()->value(), 0);
        // The words follow: what failed and what Retry does, then the progress.
        const QLabel* label = dialog.findChild<QLabel*>();
        QCOMPARE(label->text(), QStringLiteral("The update failed (error 385).\n"
                                               "Push Retry to start it again from the beginning, or Cancel to quit."));

        board.flash().setBadPage(-1);
        highest = 0;
        dialog.startButton()->click();
        const QString warning = QStringLiteral("\n!! DO NOT disconnect the Kestrel while update is running !!");
        QCOMPARE(label->text(), QStringLiteral("Updating the firmware: 0% done.") + warning);
        QTRY_COMPARE_WITH_TIMEOUT(result, 1, 20000);
        QCOMPARE(highest, 999);
        QCOMPARE(label->text(), QStringLiteral("Updating the firmware: 99% done.") + warning);

        useDevice(&nullDevice);
        kestrelDevice.close();
        kestrelDevice.setBackend(nullptr);
        setFirmwareResources(nullptr, 0);
    }

    // Paths in a box's text cannot be broken: '|' stands for a word joiner,
    // '_' for a no-break space; nothing else changes.
    void pathsAreKeptWhole() {
        const struct {
            const char* plain;
            const char* shown;
        } cases[] = {
            {"Put it in /a b/c-d/, then push Retry.", "Put it in /|a_b/|c-|d/, then push Retry."},
            {"in /x/y or in ~/z/w.", "in /|x/|y or in ~/|z/|w."},
            {"file /f (why).", "file /|f (why)."},
            {"no path: a/b and - here", "no path: a/b and - here"},
        };
        for (const auto& c : cases) {
            QString shown = withWholePaths(QString::fromUtf8(c.plain));
            shown.replace(QChar(0x2060), '|').replace(QChar(0x00A0), '_');
            QCOMPARE(shown, QString::fromUtf8(c.shown));
        }
    }

    // The failures a user can mend are explained in the box: the missing
    // image file and where it goes, then a state folder that cannot be written.
    void mendableFailuresSayWhy() {
        setInstalledFirmwareFolder(folders_->root + "/installed");
        usb::SimBoard board;
        board.setConfig(4, 5, 0, 0);
        board.flash().setTimeScale(0);
        board.flash().loadFactoryContent(4);
        kestrelDevice.setBackend(&board);
        QVERIFY(kestrelDevice.open(nullptr));
        useDevice(&kestrelDevice);

        FirmwareDialog dialog(nullptr);
        dialog.open();
        SeenBox seen;
        answerNextMessageBox(&seen);
        dialog.startButton()->click();
        QTRY_COMPARE(seen.shown, 1);
        QCOMPARE(seen.title, QStringLiteral("Error (330)"));
        QVERIFY2(seen.text.contains("\"104.zlib\"") &&
                     seen.text.contains(QString::fromStdString(folders_->data + "/Wren Capture/firmware/")),
                 qPrintable(seen.text));

        const std::vector<uint8_t> stream = synthetic::compress(synthetic::image(4), 0);
        QDir().mkpath(QString::fromStdString(folders_->data + "/Wren Capture/firmware"));
        QFile image(QString::fromStdString(folders_->data + "/Wren Capture/firmware/104.zlib"));
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(reinterpret_cast<const char*>(stream.data()), qint64(stream.size()));
        image.close();
        QFile blocker(QString::fromStdString(folders_->state + "/Wren Capture"));  // a file where the folder goes
        QDir().mkpath(QString::fromStdString(folders_->state));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        QTRY_VERIFY(dialog.startButton()->isEnabled());
        answerNextMessageBox(&seen);
        dialog.startButton()->click();
        QTRY_COMPARE(seen.shown, 2);
        QCOMPARE(seen.title, QStringLiteral("Error (360)"));
        QVERIFY2(seen.text.contains("did not start"), qPrintable(seen.text));
        QCOMPARE(board.flash().blockErases(), 0u);
        QTRY_VERIFY(dialog.startButton()->isEnabled());
        QVERIFY(dialog.cancelButton()->isEnabled());

        useDevice(&nullDevice);
        kestrelDevice.close();
        kestrelDevice.setBackend(nullptr);
        setInstalledFirmwareFolder("");
    }

private:
    std::optional<PrivateFolders> folders_;
};

QTEST_MAIN(FirmwareDialogTest)
#include "test_firmware_dialog.moc"
