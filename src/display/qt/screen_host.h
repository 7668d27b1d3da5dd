#pragma once
// What a screen window asks of the control window. Every request is queued:
// a window may ask for its own replacement from inside its own event handler.
class QKeyEvent;
class QScreen;

class ScreenHost {
public:
    virtual ~ScreenHost() = default;
    // Closing any screen window closes the application.
    virtual void postCloseApplication() = 0;
    // Places both windows per settings.alwaysOnTop.
    virtual void postApplyTopmost() = 0;
    // Re-creates the windows for a display type and layout.
    virtual void postSetLayout(bool split, int displayType) = 0;
    // Up and Down go to the volume slider.
    virtual void forwardVolumeKey(const QKeyEvent& event) = 0;
    // F12: a snapshot of the next frame, as the snapshot button takes it.
    virtual void postSnapshot() = 0;
    // The screen the windows open on (the control window's); null: the primary.
    virtual QScreen* hostScreen() const = 0;
    // A recording runs: its region is fixed, and the screensaver stays off.
    virtual bool recordingRunning() const = 0;
};
