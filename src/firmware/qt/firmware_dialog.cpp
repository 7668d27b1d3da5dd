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

#include "firmware/firmware_worker.h"
#include "ui/qt/dialog_units.h"

namespace {

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
    post([result] {
        if (activeDialog) activeDialog->updateFinished(result);
    });
}

}  // namespace

FirmwareDialog::FirmwareDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("Firmware Update"));
    setModal(true);

    text_ = new QLabel(QStringLiteral("Kestrel Capture firmware needs to be updated. Push Start to begin.\n"
                                      "!! DO NOT disconnect the Kestrel while update is running !!"),
                       this);
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
    connect(cancel_, &QPushButton::clicked, this, [this] { done(0); });
    activeDialog = this;
}

FirmwareDialog::~FirmwareDialog() {
    if (activeDialog == this) activeDialog = nullptr;
}

void FirmwareDialog::start() {
    start_->setEnabled(false);
    cancel_->setEnabled(false);
    std::thread(firmwareUpdateThread).detach();
}

void FirmwareDialog::setProgress(int thousandths) { progress_->setValue(thousandths); }

void FirmwareDialog::updateFinished(int result) {
    if (result == 0) {
        done(1);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error (%1)").arg(result), QStringLiteral("Failed!"),
                    QMessageBox::Ok, this);
    box.exec();
    progress_->setValue(0);
    start_->setText(QStringLiteral("Retry"));
    start_->setEnabled(true);
    cancel_->setEnabled(true);
}

void FirmwareDialog::reject() {
    if (cancel_->isEnabled()) done(0);
}

void FirmwareDialog::closeEvent(QCloseEvent* event) {
    // No close box; a close request from elsewhere counts as Cancel when allowed.
    if (cancel_->isEnabled()) {
        done(0);
        event->accept();
    } else {
        event->ignore();
    }
}

int runFirmwareUpdateDialog(QWidget* owner) {
    FirmwareDialog dialog(owner);
    return dialog.exec();
}
