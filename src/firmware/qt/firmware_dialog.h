#pragma once
// The "Firmware Update" dialog: Start runs the update on a worker thread,
// progress in thousandths, Retry after a failure, Cancel ends the dialog.
#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

// Runs the dialog modally, owned by `owner`; 1 after a successful update,
// 0 when cancelled.
int runFirmwareUpdateDialog(QWidget* owner);

class FirmwareDialog : public QDialog {
    Q_OBJECT
public:
    explicit FirmwareDialog(QWidget* owner);
    ~FirmwareDialog() override;

    QProgressBar* progressBar() const { return progress_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* cancelButton() const { return cancel_; }

    // UI thread: what the worker reports, through queued invocations.
    void setProgress(int thousandths);
    void updateFinished(int result);

protected:
    void reject() override;  // Escape: same as Cancel, and only when Cancel is enabled
    void closeEvent(QCloseEvent* event) override;

private:
    void start();

    QLabel* text_;
    QProgressBar* progress_;
    QPushButton* start_;
    QPushButton* cancel_;
};
