#pragma once
// The application's main window: record, snapshot, output folder, layout and
// settings buttons, the volume slider and the status line. It is also the
// UI thread's hub: every captured frame is dispatched here, and the screen
// windows ask it to change the layout or the z-order.
#include <QIcon>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "core/frame_buffer.h"
#include "display/qt/screen_host.h"
#include "display/qt/screen_layout.h"
#include "app/status_composer.h"

class QLabel;
class QPushButton;
class QSlider;
class CameraShare;
class DebugConsole;
class RecordingControl;

// Control ids of the window; each control's object name is "ctl<id>".
enum ControlId : int {
    kCtlRecord = 1000,
    kCtlSnapshot = 1005,
    kCtlStatus = 1009,
    kCtlVideoSettings = 1016,
    kCtlAudioSettings = 1018,
    kCtlSplit = 1028,
    kCtlOutputFolder = 1029,
    kCtlVolume = 1054,
};

class ControlWindow : public QWidget, public ScreenHost {
    Q_OBJECT
public:
    // Starts the sound output and opens the screen windows.
    ControlWindow();
    ~ControlWindow() override;

    // The frame dispatch: decode, the UI thread's reference, recording,
    // snapshot, then the screen windows.
    void dispatchFrame(FrameBuffer* frame);

    // The status line (control 1009).
    void setStatusText(const QString& text);
    QString statusText() const;

    void requestSnapshot() { snapshotRequested_ = true; }
    bool snapshotRequested() const { return snapshotRequested_; }

    void startRecording();
    void stopRecording();
    bool isRecording() const;

    void toggleDebugConsole();
    DebugConsole* debugConsole() const { return debugConsole_.get(); }

    ScreenLayout& screens() { return screens_; }
    CameraShare* cameraShare() const { return cameraShare_.get(); }
    QSlider* volumeSlider() const { return volume_; }
    // True once the window has closed (screens closed, recording stopped).
    bool hasClosed() const { return closed_; }

    // ScreenHost.
    void postCloseApplication() override;
    void postApplyTopmost() override;
    void postSetLayout(bool split, int displayType) override;
    void forwardVolumeKey(const QKeyEvent& event) override;
    void postSnapshot() override;
    QScreen* hostScreen() const override { return screen(); }
    bool recordingRunning() const override;

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // The screen windows' keys that make sense here too (F1, F2, F4, F11,
    // F12, Ctrl+C) go to the screen window that was active last.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void createControls();
    void initVolume();
    void chooseOutputFolder();

    ScreenLayout screens_{*this};
    std::unique_ptr<RecordingControl> recording_;
    std::unique_ptr<DebugConsole> debugConsole_;
    std::unique_ptr<CameraShare> cameraShare_;
    QPushButton* record_ = nullptr;
    QPushButton* snapshot_ = nullptr;
    QPushButton* outputFolder_ = nullptr;
    QPushButton* split_ = nullptr;
    QPushButton* videoSettings_ = nullptr;
    QPushButton* audioSettings_ = nullptr;
    QSlider* volume_ = nullptr;
    QLabel* status_ = nullptr;
    QPointer<ScreenWindow> lastActiveScreen_;  // where the forwarded keys go
    StatusComposer statusComposer_;  // recording status and one-off results together
    bool snapshotRequested_ = false;
    bool closed_ = false;
};
