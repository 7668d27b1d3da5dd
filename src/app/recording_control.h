#pragma once
// The record button: starts and stops the recording, blinks while it runs
// and keeps the status line up to date.
#include <QIcon>
#include <QObject>
#include <QTimer>
#include <functional>

class QPushButton;
class QWidget;

class RecordingControl : public QObject {
    Q_OBJECT
public:
    using StatusSink = std::function<void(const QString&)>;
    // The settings buttons are disabled while recording.
    RecordingControl(QPushButton* record, QWidget* videoSettings, QWidget* audioSettings,
                     StatusSink status);

    void start();
    // Also when nothing is recording (the graph may exist half-built).
    void stop();
    bool isRecording() const { return isRecording_; }

private:
    void blink();

    QPushButton* record_;
    QWidget* videoSettings_;
    QWidget* audioSettings_;
    StatusSink status_;
    QIcon idleIcon_;
    QIcon activeIcon_;
    QTimer blinkTimer_;
    bool isRecording_ = false;
    bool blinkPhase_ = false;  // which image the button shows next
};
