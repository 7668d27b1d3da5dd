#pragma once
// "Share as camera (PipeWire)": the control window's side of the share. It
// owns the PipeWire nodes, keeps the menu item's state (check mark, enabled,
// the reason in its tooltip), remembers the choice in its own small file and
// tells the status line when PipeWire goes away and comes back.
#include <QObject>
#include <QString>
#include <memory>

#include "core/frame_buffer.h"
#include "share/pipewire/pipewire_share.h"

class QMenu;
class QAction;

class CameraShare : public QObject {
    Q_OBJECT
public:
    CameraShare();
    ~CameraShare() override;

    // UI thread, each decoded frame.
    void offerFrame(FrameBuffer* frame) { share_.offerFrame(frame); }

    // The menu's entries; chosen() acts on one of them (false: not ours).
    void addMenuEntries(QMenu& menu);
    bool chosen(QAction* action);

    void setSharing(bool on);  // remembered
    bool sharing() const { return on_; }
    void setScale(int scale);  // remembered
    int scale() const { return scale_; }
    bool available() const { return state_ != PipeWireShare::State::NoPipeWire; }
    QString unavailableReason() const { return available() ? QString() : message_; }
    PipeWireShare& share() { return share_; }

    // Stops the nodes (the window closing).
    void stop() { share_.stop(); }

Q_SIGNALS:
    void stateChanged();

private:
    static void onState(void* context, PipeWireShare::State state, const std::string& message);
    void applyState(PipeWireShare::State state, const QString& message);
    void remember();

    PipeWireShare share_;
    bool on_ = false;
    int scale_ = 1;
    PipeWireShare::State state_ = PipeWireShare::State::Starting;
    QString message_;
    bool wasLost_ = false;
    QAction* toggle_ = nullptr;  // while the menu is open
    QAction* sizes_[3] = {};
};

// --pipewire: share from the start of this run (the file is left as it is).
void requestCameraShareAtStart();
bool cameraShareRequestedAtStart();
