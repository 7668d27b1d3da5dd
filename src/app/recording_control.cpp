#include "app/recording_control.h"

#include <QPushButton>

#include "record/recording.h"
#include "settings/settings.h"

RecordingControl::RecordingControl(QPushButton* record, QWidget* videoSettings,
                                   QWidget* audioSettings, StatusSink status)
    : record_(record),
      videoSettings_(videoSettings),
      audioSettings_(audioSettings),
      status_(std::move(status)),
      idleIcon_(QStringLiteral(":/icons/106.png")),
      activeIcon_(QStringLiteral(":/icons/107.png")) {
    blinkTimer_.setInterval(350);
    connect(&blinkTimer_, &QTimer::timeout, this, &RecordingControl::blink);
}

void RecordingControl::start() {
    char name[16];
    if (!makeNumberedName(recordingCounter, ".avi", name)) {
        // Every number is taken: never overwrite an existing recording.
        status_(QStringLiteral("No free .avi name left in the output folder."));
        record_->setChecked(false);
        return;
    }
    if (!startRecordingGraph(name)) {
        status_(QString::fromStdString(formatRecordingStatus()));
        record_->setChecked(false);
        return;
    }
    isRecording_ = true;
    blinkPhase_ = true;
    record_->setIcon(activeIcon_);
    record_->setChecked(true);
    blinkTimer_.start();
    videoSettings_->setEnabled(false);
    audioSettings_->setEnabled(false);
    // The new file's name at once, not the last recording's "Stopped.".
    status_(QString::fromStdString(formatRecordingStatus()));
}

void RecordingControl::stop() {
    stopRecordingGraph();
    if (isRecording_) status_(QString::fromStdString(formatRecordingStatus()));
    isRecording_ = false;
    record_->setIcon(idleIcon_);
    record_->setChecked(false);
    blinkTimer_.stop();
    videoSettings_->setEnabled(true);
    audioSettings_->setEnabled(true);
}

void RecordingControl::blink() {
    // A recording that failed on its own (disk full, folder gone, encoder
    // error) has already finished its file; show why and leave recording mode.
    if (!recordingRunning()) {
        stop();
        return;
    }
    record_->setIcon(blinkPhase_ ? idleIcon_ : activeIcon_);
    blinkPhase_ = !blinkPhase_;
    status_(QString::fromStdString(formatRecordingStatus()));
}
