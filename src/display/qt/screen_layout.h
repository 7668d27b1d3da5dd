#pragma once
// The screen windows of the current layout: display1 (the joined window, or
// the top window when split) and display2 (the bottom window, split only).
#include <QPointer>
#include <QTimer>

#include "display/qt/screen_saver_inhibitor.h"
#include "display/qt/screen_window.h"

class ScreenHost;

class ScreenLayout {
public:
    explicit ScreenLayout(ScreenHost& host);
    ~ScreenLayout() { closeScreenWindows(); }
    ScreenLayout(const ScreenLayout&) = delete;
    ScreenLayout& operator=(const ScreenLayout&) = delete;

    // Closes both windows and opens the ones of the display type and
    // layout; stores both in the settings. A window that cannot be made
    // ends the program.
    void setLayout(int displayType, bool split);
    // display2, then display1.
    void closeScreenWindows();
    // Both windows per settings.alwaysOnTop, display1 first.
    void applyTopmost();

    ScreenWindow* display1() const { return display1_; }
    ScreenWindow* display2() const { return display2_; }
    ScreenSaverInhibitor& inhibitor() { return inhibitor_; }

    // The screensaver is kept away while a window is full screen or a
    // recording runs (checked on every full-screen change and each second).
    void updateInhibitor();

private:
    static void closeWindow(ScreenWindow*& window);
    // Split: "Top" centred on the host's screen with "Bottom" right below it.
    void placeSplitWindows();

    ScreenHost& host_;
    ScreenSaverInhibitor inhibitor_;
    QTimer inhibitorPoll_;
    ScreenWindow* display1_ = nullptr;
    ScreenWindow* display2_ = nullptr;
};
