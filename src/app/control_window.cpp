#include "app/control_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTimer>


#include "core/audio_path.h"
#include "core/device.h"
#include "base/steady_clock.h"
#include "display/decode.h"
#include "record/qt/video_codec_dialog.h"
#include "record/recording.h"
#include "record/snapshot.h"
#include "app/audio_settings_dialog.h"
#include "app/board_chooser.h"
#include "app/about_box.h"
#include "app/camera_share.h"
#include "app/debug_console.h"
#include "widgets/dialog_controls.h"
#include "app/recording_control.h"
#include "settings/settings.h"

namespace {

constexpr int kVolumeSteps = 25;

template <typename Control>
Control* place(QWidget* parent, int id, const DialogUnits& units, int x, int y, int w, int h) {
    return placeControl<Control>(parent, units, QStringLiteral("ctl%1").arg(id).toLatin1().constData(), x, y,
                                 w, h);
}

}  // namespace

ControlWindow::ControlWindow() {
    // A fixed dialog: minimise and close, no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Kestrel Capture"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/101.png")));
    createControls();
    initVolume();
    cameraShare_ = std::make_unique<CameraShare>();
    screens_.setLayout(int(settings.displayType), settings.splitWindows != 0);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
        if (auto* screen = qobject_cast<ScreenWindow*>(window)) lastActiveScreen_ = screen;
    });
}

ControlWindow::~ControlWindow() {
    cameraShare_.reset();
    recording_.reset();
    screens_.closeScreenWindows();
}

void ControlWindow::createControls() {
    const DialogUnits units(fontMetrics());
    setFixedSize(units.x(251), units.y(103));

    record_ = place<QPushButton>(this, kCtlRecord, units, 7, 7, 33, 30);
    record_->setCheckable(true);
    record_->setIcon(QIcon(QStringLiteral(":/icons/106.png")));
    record_->setIconSize(QSize(32, 32));

    snapshot_ = place<QPushButton>(this, kCtlSnapshot, units, 46, 7, 34, 30);
    snapshot_->setIcon(QIcon(QStringLiteral(":/icons/108.png")));
    snapshot_->setIconSize(QSize(32, 32));

    outputFolder_ = place<QPushButton>(this, kCtlOutputFolder, units, 85, 23, 18, 14);
    outputFolder_->setText(QStringLiteral("..."));
    split_ = place<QPushButton>(this, kCtlSplit, units, 7, 43, 62, 14);
    split_->setText(QStringLiteral("&Split window"));
    videoSettings_ = place<QPushButton>(this, kCtlVideoSettings, units, 154, 7, 67, 14);
    videoSettings_->setText(QStringLiteral("&Video settings"));
    audioSettings_ = place<QPushButton>(this, kCtlAudioSettings, units, 154, 24, 67, 14);
    audioSettings_->setText(QStringLiteral("&Audio settings"));

    // Qt's vertical slider has its maximum at the top, where the loud end
    // is: the slider's value is the number of 4 % steps of volume.
    volume_ = place<QSlider>(this, kCtlVolume, units, 228, 7, 17, 90);
    volume_->setOrientation(Qt::Vertical);
    volume_->setRange(0, kVolumeSteps);
    volume_->setTickPosition(QSlider::NoTicks);
    volume_->setEnabled(false);

    status_ = place<QLabel>(this, kCtlStatus, units, 7, 62, 214, 35);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    status_->setWordWrap(true);

    recording_ = std::make_unique<RecordingControl>(
        record_, videoSettings_, audioSettings_, [this](const QString& text) {
            status_->setText(QString::fromStdString(statusComposer_.recording(text.toStdString(), steadyMs())));
        });

    connect(record_, &QPushButton::clicked, this, [this] {
        if (isRecording())
            stopRecording();
        else
            startRecording();
    });
    connect(snapshot_, &QPushButton::clicked, this, [this] { requestSnapshot(); });
    connect(outputFolder_, &QPushButton::clicked, this, [this] { chooseOutputFolder(); });
    connect(split_, &QPushButton::clicked, this, [this] {
        screens_.setLayout(int(settings.displayType), settings.splitWindows == 0);
    });
    connect(videoSettings_, &QPushButton::clicked, this, [this] { showVideoCodecDialog(this); });
    connect(audioSettings_, &QPushButton::clicked, this, [this] { showAudioSettingsDialog(this); });
}

void ControlWindow::initVolume() {
    int percent = 0;
    if (startAudio()) {
        volume_->setEnabled(true);
        percent = int(audioVolume() * 100.0f);
    }
    // 4 % per step, counted up from the silent bottom.
    volume_->setValue(percent / 4);
    connect(volume_, &QSlider::valueChanged, this, [](int steps) { setVolume(steps * 4); });
}

void ControlWindow::dispatchFrame(FrameBuffer* frame) {
    decodeFrame(frame);
    addRef(frame);  // the UI thread's reference
    if (IKestrelCaptureApp* app = recordingApp()) app->pushFrame(frame);
    if (cameraShare_) cameraShare_->offerFrame(frame);
    if (snapshotRequested_) {
        snapshotRequested_ = false;
        saveSnapshot(frame);
    }
    if (ScreenWindow* bottom = screens_.display2()) {
        addRef(frame);
        bottom->setFrame(frame);
    }
    if (ScreenWindow* top = screens_.display1())
        top->setFrame(frame);  // takes over the UI thread's reference
    else
        release(frame);
}

void ControlWindow::setStatusText(const QString& text) {
    const bool recording = recording_ && recording_->isRecording();
    status_->setText(QString::fromStdString(statusComposer_.message(text.toStdString(), recording, steadyMs())));
}
QString ControlWindow::statusText() const { return status_->text(); }

void ControlWindow::startRecording() { recording_->start(); }
void ControlWindow::stopRecording() { recording_->stop(); }
bool ControlWindow::isRecording() const { return recording_->isRecording(); }

void ControlWindow::toggleDebugConsole() {
    if (!debugConsole_) debugConsole_ = std::make_unique<DebugConsole>();
    if (debugConsole_->isOpen())
        debugConsole_->closeConsole();
    else
        debugConsole_->openConsole();
}

void ControlWindow::chooseOutputFolder() {
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Change Output Folder"), QString::fromStdString(fieldToUtf8(settings.outputFolder)));
    if (folder.isEmpty()) return;
    applyOutputFolder(folder.toStdString());
}

void ControlWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (closed_) return;
    closed_ = true;
    // Dialogs it owns go with the window (a dialog may refuse, as the
    // firmware update does while it writes the flash).
    for (int i = 0; i < 4; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->close()) break;
    }
    stopRecording();
    if (cameraShare_) cameraShare_->stop();
    screens_.closeScreenWindows();
    if (debugConsole_) debugConsole_->closeConsole();
    Q_EMIT closed();
}

void ControlWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu;
    // Offered while no board is open, on a program that can list USB devices.
    QAction* chooseBoard = nullptr;
    if (boardChooserAvailable() && currentDevice()->openState == Closed)
        chooseBoard = menu.addAction(QStringLiteral("Choose capture &board\u2026"));
    QAction* console = menu.addAction(QStringLiteral("&Debug console"));
    const bool consoleOpen = debugConsole_ && debugConsole_->isOpen();
    console->setCheckable(consoleOpen);  // no empty box while closed
    console->setChecked(consoleOpen);
    if (cameraShare_) {
        menu.addSeparator();
        cameraShare_->addMenuEntries(menu);
    }
    menu.addSeparator();
    QAction* about = menu.addAction(QStringLiteral("&About Kestrel Capture"));
    QAction* chosen = menu.exec(event->globalPos());
    if (cameraShare_ && cameraShare_->chosen(chosen)) return;
    if (chosen == console) toggleDebugConsole();
    else if (chosen && chosen == chooseBoard) showBoardChooser(this);
    else if (chosen == about) showAboutBox(this);
}

void ControlWindow::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const int key = event->key();
    const bool functionKey = modifiers == Qt::NoModifier &&
                             (key == Qt::Key_F1 || key == Qt::Key_F2 || key == Qt::Key_F4 || key == Qt::Key_F11 ||
                              key == Qt::Key_F12);
    const bool copy = modifiers == Qt::ControlModifier && key == Qt::Key_C;
    ScreenWindow* target = lastActiveScreen_;
    if (!target || (target != screens_.display1() && target != screens_.display2())) target = screens_.display1();
    if (!(functionKey || copy) || !target) {
        QWidget::keyPressEvent(event);
        return;
    }
    // The screen window does what it does with the key itself.
    QKeyEvent forwarded(QEvent::KeyPress, key, event->modifiers(), event->text());
    QCoreApplication::sendEvent(target, &forwarded);
    event->accept();
}

// Requests of the screen windows ----------------------------------------------------

void ControlWindow::postCloseApplication() {
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
}

void ControlWindow::postApplyTopmost() {
    QMetaObject::invokeMethod(this, [this] { screens_.applyTopmost(); }, Qt::QueuedConnection);
}

void ControlWindow::postSetLayout(bool split, int displayType) {
    QMetaObject::invokeMethod(
        this,
        [this, split, displayType] {
            if (!closed_) screens_.setLayout(displayType, split);
        },
        Qt::QueuedConnection);
}

void ControlWindow::forwardVolumeKey(const QKeyEvent& event) {
    QKeyEvent copy(event.type(), event.key(), event.modifiers(), event.text());
    QCoreApplication::sendEvent(volume_, &copy);
}

void ControlWindow::postSnapshot() {
    QMetaObject::invokeMethod(this, [this] { requestSnapshot(); }, Qt::QueuedConnection);
}

bool ControlWindow::recordingRunning() const { return ::recordingRunning(); }
