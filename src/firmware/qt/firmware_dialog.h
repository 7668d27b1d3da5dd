#pragma once
// The "Firmware Update" dialog: Start runs the update on a worker thread,
// progress in thousandths, Retry after a failure, Cancel ends the dialog.
// One exists at a time; while it is open it takes the board's arrivals.
#include <QDialog>
#include <QPointer>
#include <optional>
#include <string>

#include "usb/usb_backend.h"

class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;

// Runs the dialog modally, owned by `owner`; 1 after a successful update,
// 0 when cancelled. While a dialog is open, no second one is shown: the call
// returns 1 at once and the open dialog carries on.
int runFirmwareUpdateDialog(QWidget* owner);
bool firmwareDialogOpen();

// UI thread: a board arrived. When an update dialog is open it takes the
// arrival (at once, or after a running update has ended) and true is
// returned; otherwise false and the caller handles it.
bool firmwareDialogTakesArrival(const usb::Guid& interfaceClass);

class FirmwareDialog : public QDialog {
    Q_OBJECT
public:
    explicit FirmwareDialog(QWidget* owner);
    ~FirmwareDialog() override;

    QProgressBar* progressBar() const { return progress_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* cancelButton() const { return cancel_; }
    bool updateRunning() const { return running_; }

    // UI thread: what the worker reports, through queued invocations.
    void setProgress(int thousandths);
    void updateFinished(int result, const std::string& text);
    // UI thread: the board arrived again (see firmwareDialogTakesArrival).
    void deviceArrived(const usb::Guid& interfaceClass);

protected:
    void reject() override;  // Escape: same as Cancel, and only when Cancel is enabled
    void closeEvent(QCloseEvent* event) override;

private:
    void start();
    void cancel();
    void showWaitingText();
    void failureAcknowledged();
    // Reopens the board; closes the dialog with success when it streams.
    void reconnect(const usb::Guid& interfaceClass);

    QLabel* text_;
    QProgressBar* progress_;
    QPushButton* start_;
    QPushButton* cancel_;
    QPointer<QMessageBox> box_;
    bool running_ = false;
    bool updated_ = false;  // an update of ours succeeded, or the board streams again
    std::optional<usb::Guid> pendingArrival_;
};
