#include "app/kestrel_app.h"

#include <cstdlib>
#include <string>

#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QThread>

#include "core/audio_path.h"
#include "core/capture_core.h"
#include "core/thread_priority.h"
#include "base/debug_log.h"
#include "base/debug_log_file.h"
#include "base/fatal.h"
#include "base/heap_thresholds.h"
#include "core/sdl/sdl_audio_engine.h"
#include "base/status_line.h"
#include "display/qt/stats_overlay.h"
#include "record/qt/video_codec_dialog.h"
#include "record/recording.h"
#include "app/board_reports.h"
#include "app/control_window.h"
#include "app/quit_signals.h"
#include "app/realtime_kit.h"
#include "settings/settings.h"
#include "settings/settings_paths.h"

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

// $XDG_STATE_HOME/Wren Capture, or ~/.local/state/Wren Capture.
std::string logFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base = state && state[0] == '/' ? std::string(state) : std::string();
    if (base.empty()) {
        const std::string home = homeFolder();
        if (home.empty()) return {};
        base = home + "/.local/state";
    }
    return base + "/Wren Capture";
}

// The debug lines also go to a file the user can attach to a bug report.
void openLogFile() {
    const std::string folder = logFolder();
    if (folder.empty() || !makeFolders(folder) || !openDebugLogFile(folder)) return;
    debugPrintf("Kestrel Capture %s started\n", KESTREL_VERSION);
}

}  // namespace

// Resources of a static library are registered by hand (outside any namespace).
static void registerResources() { Q_INIT_RESOURCE(resources); }

KestrelApp::KestrelApp() {
    registerResources();
    setFatalErrorHandler(showFatalError);
    setStatusLineHandler(showStatusLine);
    setCodecDialogHook(askForCodec);
    setPriorityServiceHook(askRealtimeKit);
    readClockHost.store(&host_);
    StatsOverlay::setFrameReadClock(frameReadAt);
    StatsOverlay::setRecordingClock(recordingSeconds);
}

KestrelApp::~KestrelApp() {
    shutdown();
    setCodecDialogHook(nullptr);
    setPriorityServiceHook(nullptr);
    setStatusLineHandler(nullptr);
    StatsOverlay::setFrameReadClock(nullptr);
    StatsOverlay::setRecordingClock(nullptr);
    readClockHost.store(nullptr);
}

void KestrelApp::start(usb::Backend& backend, bool quitOnClose) {
    installSdlAudioEngine();
    loadSettings();
    // What Qt keeps for itself (the folder picker's recent places) goes into
    // our settings folder, not beside other programs' files in ~/.config.
    if (const std::string folder = settingsFolder(); !folder.empty())
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(folder));
    controlWindow_ = std::make_unique<ControlWindow>();
    statusWindow.store(controlWindow_.get());
    if (quitOnClose)
        QObject::connect(controlWindow_.get(), &ControlWindow::closed, qApp, &QCoreApplication::quit,
                         Qt::QueuedConnection);
    controlWindow_->show();
    host_.attach(controlWindow_.get());
    started_ = true;
    usbThread_start(host_, backend);
    reportBoardAtStart(backend);
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
    // main() has read the options: Qt sees only the program name.
    static char name[] = "kestrel-capture";
    static char* argv[] = {name, nullptr};
    int argc = 1;
    setHeapThresholds();
    QuitSignals::catchEarly();
    openLogFile();
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
    closeDebugLogFile();
    return 0;
}
