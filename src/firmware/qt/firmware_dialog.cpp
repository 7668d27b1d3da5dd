#include "firmware/qt/firmware_dialog.h"

#include <pthread.h>

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <thread>

#include "core/capture_core.h"
#include "core/device.h"
#include "firmware/firmware_worker.h"
#include "firmware/update_failure.h"
#include "widgets/dialog_units.h"
#include "widgets/whole_paths.h"

namespace {

const QString kDoNotDisconnect = QStringLiteral("!! DO NOT disconnect the Kestrel while update is running !!");

// The one update dialog, UI thread only. The worker never touches it: it
// posts to the application object, and the posted call looks the dialog up,
// so a report that arrives after the dialog is gone does nothing.
QPointer<FirmwareDialog> activeDialog;

void post(std::function<void()> call) {
    QMetaObject::invokeMethod(qApp, std::move(call), Qt::QueuedConnection);
}

void reportProgress(int thousandths) {
    post([thousandths] {
        if (activeDialog) activeDialog->setProgress(thousandths);
    });
}

// One thread per Start or Retry, never joined. It holds the device lock for
// the whole update and never waits for the UI thread.
void firmwareUpdateThread() {
    pthread_setname_np(pthread_self(), "firmware");
    const int result = runFirmwareUpdateWorker(reportProgress);
    std::string text = result ? takeUpdateFailureText() : std::string();
    post([result, text = std::move(text)] {
        if (activeDialog) activeDialog->updateFinished(result, text);
    });
}

}  // namespace

FirmwareDialog::FirmwareDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("Firmware Update"));
    setModal(true);

    text_ = new QLabel(this);
    showWaitingText();
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 1000);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    start_ = new QPushButton(QStringLiteral("Start"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    start_->setAutoDefault(false);
    cancel_->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(start_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(progress_);
    layout->addLayout(buttons);
    const DialogUnits units(fontMetrics());
    setMinimumWidth(units.x(277));

    connect(start_, &QPushButton::clicked, this, &FirmwareDialog::start);
    connect(cancel_, &QPushButton::clicked, this, &FirmwareDialog::cancel);
    activeDialog = this;
}

FirmwareDialog::~FirmwareDialog() {
    if (activeDialog == this) activeDialog = nullptr;
}

void FirmwareDialog::start() {
    if (running_) return;
    running_ = true;
    start_->setEnabled(false);
    cancel_->setEnabled(false);
    setProgress(0);
    std::thread(firmwareUpdateThread).detach();
}

void FirmwareDialog::cancel() {
    // A board we just updated is no reason to quit.
    done(updated_ ? 1 : 0);
}

void FirmwareDialog::showWaitingText() {
    text_->setText(QStringLiteral("Kestrel Capture firmware needs to be updated. Push Start to begin.\n") +
                   kDoNotDisconnect);
}

void FirmwareDialog::setProgress(int thousandths) {
    progress_->setValue(thousandths);
    if (running_)
        text_->setText(QStringLiteral("Updating the firmware: %1% done.\n").arg(thousandths / 10) + kDoNotDisconnect);
}

void FirmwareDialog::updateFinished(int result, const std::string& text) {
    running_ = false;
    if (result == 0) {
        updated_ = true;
        done(1);
        return;
    }
    // The board came back while the update ran: take it now that the worker
    // no longer holds the device lock. If it streams, it was updated after all.
    if (pendingArrival_) {
        const usb::Guid interfaceClass = *std::exchange(pendingArrival_, std::nullopt);
        reconnect(interfaceClass);
        if (updated_) return;
    }
    text_->setText(QStringLiteral("The update failed (error %1).\n"
                                  "Push Retry to start it again from the beginning, or Cancel to quit.")
                       .arg(result));
    // Not modal to the dialog's event loop: an arrival may still come while
    // the box is up, and may close both.
    box_ = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error (%1)").arg(result),
                           text.empty() ? QStringLiteral("Failed!") : withWholePaths(QString::fromStdString(text)),
                           QMessageBox::Ok, this);
    box_->setTextFormat(Qt::PlainText);
    box_->setAttribute(Qt::WA_DeleteOnClose);
    box_->setWindowModality(Qt::ApplicationModal);
    connect(box_, &QMessageBox::finished, this, &FirmwareDialog::failureAcknowledged);
    box_->show();
}

void FirmwareDialog::failureAcknowledged() {
    if (updated_) return;
    progress_->setValue(0);
    start_->setText(QStringLiteral("Retry"));
    start_->setEnabled(true);
    cancel_->setEnabled(true);
}

void FirmwareDialog::deviceArrived(const usb::Guid& interfaceClass) {
    // The worker holds the device lock for the whole update: reopening now
    // would stall the user interface until it ends.
    if (running_) {
        pendingArrival_ = interfaceClass;
        return;
    }
    reconnect(interfaceClass);
}

void FirmwareDialog::reconnect(const usb::Guid& interfaceClass) {
    connectDevice(&interfaceClass);
    if (currentDevice()->openState != Streaming) return;  // Start/Retry use the new connection
    updated_ = true;
    if (box_) box_->close();
    done(1);
}

void FirmwareDialog::reject() {
    if (cancel_->isEnabled()) cancel();
}

void FirmwareDialog::closeEvent(QCloseEvent* event) {
    // No close box; a close request from elsewhere counts as Cancel when allowed.
    if (cancel_->isEnabled()) {
        cancel();
        event->accept();
    } else {
        event->ignore();
    }
}

bool firmwareDialogTakesArrival(const usb::Guid& interfaceClass) {
    if (!activeDialog) return false;
    if (captureCoreRunning()) activeDialog->deviceArrived(interfaceClass);
    return true;
}

bool firmwareDialogOpen() { return !activeDialog.isNull(); }

int runFirmwareUpdateDialog(QWidget* owner) {
    if (activeDialog) return 1;
    FirmwareDialog dialog(owner);
    return dialog.exec();
}
