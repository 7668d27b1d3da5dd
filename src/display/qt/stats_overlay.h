#pragma once
// The live overlay a screen window shows in its top-left corner on F1:
// frames drawn per second, the link's skips and errors of the last second,
// the display latency (frame read to drawn, median of the last second), the
// sound's cushion, and a red dot with the elapsed time while recording.
// It is drawn over the window only: snapshots and recordings are made from
// the frames, not from the window. The text is rendered once a second into
// a panel made once; drawing a frame allocates nothing.
#include <QImage>
#include <QObject>
#include <QOpenGLFunctions>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>

#include "core/frame_buffer.h"

class QOpenGLShaderProgram;

class StatsOverlay : public QObject, protected QOpenGLFunctions {
    Q_OBJECT
public:
    // changed: the panel has new text (the window draws again).
    explicit StatsOverlay(std::function<void()> changed, QObject* parent = nullptr);
    ~StatsOverlay() override;

    void toggle();
    bool isVisible() const { return visible_; }

    // UI thread, after a frame was drawn and swapped.
    void frameDrawn(const FrameBuffer* frame);

    // With the window's context current, after the picture: the panel in the
    // corner of a client area of clientWidth x clientHeight device pixels.
    void draw(int clientWidth, int clientHeight, qreal devicePixelRatio);
    // With the context current / after it was lost.
    void releaseGL();
    void abandonGL();

    // The figures of the last second as shown (tests).
    struct Figures {
        bool counted = false;  // a whole second was counted (fps, skips, errors)
        int fps = 0, skips = 0, errors = 0;
        double latencyMs = -1;  // -1: no frame with a known read time
        int cushionMs = -1;     // -1: no sound output
        bool recording = false;
        int64_t recordingSeconds = 0;
    };
    const Figures& figures() const { return figures_; }
    const QImage& panel() const { return panel_; }

    // Where frames' read times come from (steady clock, ns; 0 unknown).
    using FrameReadClock = int64_t (*)(const FrameBuffer* frame);
    static void setFrameReadClock(FrameReadClock clock);
    // The running recording's length in seconds, or -1 when none runs.
    using RecordingClock = int64_t (*)();
    static void setRecordingClock(RecordingClock clock);

private:
    void refresh();
    void paintPanel();
    bool initGL();

    std::function<void()> changed_;
    QTimer refreshTimer_;
    bool visible_ = false;
    Figures figures_;

    // The second being counted.
    int drawn_ = 0;
    std::array<int32_t, 512> latencyUs_{};
    int latencyCount_ = 0;
    int32_t lastSkips_ = 0;
    int32_t lastErrors_ = 0;

    QImage panel_;  // made once, repainted each second
    bool panelDirty_ = true;
    bool glReady_ = false;
    unsigned texture_ = 0;
    QOpenGLShaderProgram* program_ = nullptr;
};
