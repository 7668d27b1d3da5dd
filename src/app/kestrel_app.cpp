#include "app/kestrel_app.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "core/audio_path.h"
#include "core/capture_core.h"
#include "base/fatal.h"
#include "base/heap_thresholds.h"
#include "core/sdl/sdl_audio_engine.h"
#include "base/status_line.h"
#include "display/qt/stats_overlay.h"
#include "record/qt/video_codec_dialog.h"
#include "record/recording.h"
#include "app/board_chooser.h"
#include "app/control_window.h"
#include "app/quit_signals.h"
#include "settings/settings.h"

namespace {

// The status line handler and the codec dialog hook are plain functions.
std::atomic<ControlWindow*> statusWindow{nullptr};

bool onUiThread() { return qApp && QThread::currentThread() == qApp->thread(); }

void showStatusLine(const std::string& text) {
    const QString line = QString::fromStdString(text);
    if (onUiThread()) {
        if (ControlWindow* window = statusWindow.load()) window->setStatusText(line);
        return;
    }
    // qApp outlives every window; the window is looked up on arrival.
    QMetaObject::invokeMethod(
        qApp,
        [line] {
            if (ControlWindow* window = statusWindow.load()) window->setStatusText(line);
        },
        Qt::QueuedConnection);
}

void showFatalError(const char* text) {
    if (onUiThread()) QMessageBox::critical(nullptr, QStringLiteral("Error"), QString::fromUtf8(text));
}

int askForCodec() { return showVideoCodecDialog(statusWindow.load()); }

// The overlay's display latency starts where the reader handed the frame over.
std::atomic<const QtCoreHost*> readClockHost{nullptr};
int64_t frameReadAt(const FrameBuffer* frame) {
    const QtCoreHost* host = readClockHost.load();
    return host ? host->postedAt(frame) : 0;
}

}  // namespace

// Resources of a static library are registered by hand (outside any namespace).
static void registerResources() { Q_INIT_RESOURCE(resources); }

KestrelApp::KestrelApp() {
    registerResources();
    setFatalErrorHandler(showFatalError);
    setStatusLineHandler(showStatusLine);
    setCodecDialogHook(askForCodec);
    readClockHost.store(&host_);
    StatsOverlay::setFrameReadClock(frameReadAt);
    StatsOverlay::setRecordingClock(recordingSeconds);
}

KestrelApp::~KestrelApp() {
    shutdown();
    setCodecDialogHook(nullptr);
    setStatusLineHandler(nullptr);
    StatsOverlay::setFrameReadClock(nullptr);
    StatsOverlay::setRecordingClock(nullptr);
    readClockHost.store(nullptr);
}

void KestrelApp::start(usb::Backend& backend, bool quitOnClose) {
    installSdlAudioEngine();
    loadSettings();
    controlWindow_ = std::make_unique<ControlWindow>();
    statusWindow.store(controlWindow_.get());
    if (quitOnClose)
        QObject::connect(controlWindow_.get(), &ControlWindow::closed, qApp, &QCoreApplication::quit,
                         Qt::QueuedConnection);
    controlWindow_->show();
    host_.attach(controlWindow_.get());
    started_ = true;
    usbThread_start(host_, backend);
    reportMissingBoard(backend);
}

void KestrelApp::shutdown() {
    if (!started_ || shutDown_) return;
    shutDown_ = true;
    controlWindow_->close();  // stops a recording, closes the screen windows
    stopAudio();
    usbThread_stop();
    saveSettings();
    host_.detach();
    statusWindow.store(nullptr);
    controlWindow_.reset();
}

ScreenWindow* KestrelApp::display1() const {
    return controlWindow_ ? controlWindow_->screens().display1() : nullptr;
}

ScreenWindow* KestrelApp::display2() const {
    return controlWindow_ ? controlWindow_->screens().display2() : nullptr;
}

int runKestrelCapture(usb::Backend& backend) {
    // The program takes no options: Qt sees only the program name.
    static char name[] = "kestrel-capture";
    static char* argv[] = {name, nullptr};
    int argc = 1;
    setHeapThresholds();
    QuitSignals::catchEarly();
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Kestrel Capture"));
    QApplication::setDesktopFileName(QStringLiteral("kestrel-capture"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/101.png")));

    KestrelApp app;
    // Installed first: a signal during a modal dialog at start (the firmware
    // update) closes the program too; one before the window exists waits for it.
    bool signalled = false;
    QuitSignals quitSignals([&app, &signalled] {
        signalled = true;
        if (ControlWindow* window = app.controlWindow()) window->close();
    });
    app.start(backend, true);
    if (signalled) app.controlWindow()->close();
    if (!app.controlWindow()->hasClosed()) application.exec();
    app.shutdown();
    return 0;
}
