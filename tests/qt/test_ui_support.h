#pragma once
// The whole application in the test process, on a simulated board, with its
// settings and output in a temporary home folder.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

#include "core/capture_core.h"
#include "core/link_stats.h"
#include "display/decode.h"
#include "display/qt/screen_window.h"
#include "app/control_window.h"
#include "app/kestrel_app.h"
#include "settings/settings.h"
#include "usb/sim/sim_board.h"

class TestApp {
public:
    // A fresh home: no settings file unless the test writes one.
    TestApp() {
        qputenv("HOME", home_.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (home_.path() + "/config").toUtf8());
        QDir(home_.path()).mkpath("Desktop");
    }
    ~TestApp() { stop(); }

    void start() {
        app_ = std::make_unique<KestrelApp>();
        app_->start(board_, false);
    }
    // The orderly shutdown: settings are written.
    void stop() { app_.reset(); }

    KestrelApp& app() { return *app_; }
    ControlWindow& control() { return *app_->controlWindow(); }
    ScreenWindow* display1() { return app_->display1(); }
    ScreenWindow* display2() { return app_->display2(); }
    usb::SimBoard& board() { return board_; }
    QString home() const { return home_.path(); }
    QString settingsFile() const {
        return home_.path() + "/config/Wren Capture/kestrel_capture.cfg";
    }

private:
    QTemporaryDir home_;
    usb::SimBoard board_;
    std::unique_ptr<KestrelApp> app_;
};

// Waits until the screen windows have drawn `frames` more frames.
inline bool waitForPaints(int frames, int timeoutMs = 5000) {
    const int32_t target = linkStats.paintCounter.load() + frames;
    QDeadlineTimer deadline(timeoutMs);
    while (linkStats.paintCounter.load() < target) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(10);
    }
    return true;
}

// A still picture of display type 1 for pixel checks: a 1-pixel checkerboard
// of black and white with a red first column. The reader is stopped so no
// board frame replaces it; the buffer is outside the pool, never returns to
// it and lives to the end of the process (windows may hold it until then).
class StillFrame {
public:
    static StillFrame& instance() {
        static StillFrame* still = new StillFrame;
        return *still;
    }
    static QRgb at(int x, int y) {
        return x == 0 ? qRgb(255, 0, 0) : ((x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    }
    void showIn(ScreenWindow* window) {
        usbThread_stop();
        QTest::qWait(100);  // frames on their way arrive first
        addRef(&frame_);
        window->setFrame(&frame_);
    }

private:
    StillFrame() : image_(400 * 480) {
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 400; ++x)
                image_[size_t(y * 400 + x)] = x == 0 ? 0x00FF0000u : ((x + y) % 2 ? 0x00FFFFFFu : 0u);
        frame_.displayImage = image_.data();
        frame_.layout = displayTypeTable[1];
        frame_.refCount = 1000;
    }

    std::vector<uint32_t> image_;
    FrameBuffer frame_;
};
