#pragma once
// The whole application in the test process, on a simulated board, with its
// settings and output in a temporary home folder.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "display/qt/screen_window.h"
#include "ui/qt/control_window.h"
#include "ui/qt/kestrel_app.h"
#include "ui/settings.h"
#include "usb/sim_board.h"

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
