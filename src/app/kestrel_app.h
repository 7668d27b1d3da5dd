#pragma once
// The application's start-up and shutdown around one USB backend. main()
// and the UI tests build the whole program through this class.
#include <memory>

#include "app/qt_core_host.h"

namespace usb {
class Backend;
}
class ControlWindow;
class ScreenWindow;

class KestrelApp {
public:
    // A QApplication must exist.
    KestrelApp();
    ~KestrelApp();
    KestrelApp(const KestrelApp&) = delete;
    KestrelApp& operator=(const KestrelApp&) = delete;

    // Settings, the control window (sound output, screen windows), then the
    // capture core on the backend. quitOnClose: closing the control window
    // ends the event loop.
    void start(usb::Backend& backend, bool quitOnClose);
    // After the control window closed (closes it first if it has not):
    // sound output, capture core, then the settings file.
    void shutdown();

    ControlWindow* controlWindow() const { return controlWindow_.get(); }
    ScreenWindow* display1() const;
    ScreenWindow* display2() const;
    QtCoreHost& host() { return host_; }

private:
    QtCoreHost host_;
    std::unique_ptr<ControlWindow> controlWindow_;
    bool started_ = false;
    bool shutDown_ = false;
};

// main()'s body: QApplication with an empty command line, the platform
// handlers, SIGINT/SIGTERM closing the control window, the event loop.
int runKestrelCapture(usb::Backend& backend);
