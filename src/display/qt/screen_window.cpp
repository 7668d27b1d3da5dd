#include "display/qt/screen_window.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QResizeEvent>
#include <QScreen>
#include <QStyleHints>
#include <QSurfaceFormat>

#include "base/debug_log.h"
#include "base/fatal.h"
#include "core/link_stats.h"
#include "display/qt/pointer_hider.h"
#include "display/qt/screen_host.h"
#include "display/qt/window_geometry.h"
#include "display/qt/x11_size_hints.h"
#include "display/window_fit.h"
#include "settings/settings.h"

namespace {

std::atomic<ScreenWindow::FrameDrawnHook> frameDrawnHook{nullptr};

// Posted at low priority: frames queued behind each other are all handed
// over before the window draws once, and nothing waits on a timer.
const QEvent::Type kPaintEvent = QEvent::Type(QEvent::registerEventType());

// Immediate presentation: drawing never waits for the vertical blank, so a
// frame reaches the screen as soon as it is drawn and two windows do not
// halve each other's rate.
QSurfaceFormat screenFormat() {
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setSwapInterval(0);
    format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    format.setDepthBufferSize(0);
    format.setStencilBufferSize(0);
    format.setAlphaBufferSize(0);
    // Lets a driver reset show up as an invalid context, which the window
    // rebuilds (or stays black) instead of drawing into a dead one.
    format.setOption(QSurfaceFormat::ResetNotification);
    return format;
}

}  // namespace

ScreenWindow::ScreenWindow(ScreenHost& host)
    : host_(host), overlay_([this] { render(false); }), pointerHider_(new PointerHider(this)) {
    sizingTitleTimer_.setSingleShot(true);
    sizingTitleTimer_.setInterval(300);
    connect(&sizingTitleTimer_, &QTimer::timeout, this, [this] { finishSizing(); });
    connect(this, &QWindow::windowStateChanged, this, [this] { fullScreenChanged(); });
}

ScreenWindow::~ScreenWindow() { shutdown(); }

void ScreenWindow::setFrameDrawnHook(FrameDrawnHook hook) { frameDrawnHook = hook; }

bool ScreenWindow::init(const QString& title, int naturalWidth, int naturalHeight, WindowMode mode,
                        int index) {
    title_ = title;
    naturalWidth_ = naturalWidth;
    naturalHeight_ = naturalHeight;
    mode_ = mode;
    index_ = index;
    if (QScreen* screen = host_.hostScreen()) setScreen(screen);
    // A stored size that does not fit (or was never set) opens at the natural
    // size, and that is what gets saved.
    const QSize area = maxClientSize();
    const ClientSize checked = checkStoredSize(naturalWidth, naturalHeight,
                                               {settings.windowWidth[index], settings.windowHeight[index]},
                                               area.width(), area.height());
    settings.windowWidth[index] = checked.width;
    settings.windowHeight[index] = checked.height;

    setSurfaceType(QSurface::OpenGLSurface);
    setFormat(screenFormat());
    setTitle(title_);
    setIcon(QIcon(QStringLiteral(":/icons/101.png")));
    setMinimumSize(QSize(naturalWidth, naturalHeight));
    resize(settings.windowWidth[index], settings.windowHeight[index]);
    setFlag(Qt::WindowStaysOnTopHint, settings.alwaysOnTop != 0);
    create();
    if (!handle()) return false;

    context_ = std::make_unique<QOpenGLContext>();
    context_->setFormat(requestedFormat());
    if (!context_->create() || !context_->makeCurrent(this) ||
        !renderer_.init(naturalWidth_, naturalHeight_)) {
        debugPrintf("dx.init() failed\n");
        fatalError("dx.init() failed");
    }
    context_->doneCurrent();

    lastNormalGeometry_ = geometry();
    show();
    applyWindowHints();
    return true;
}

void ScreenWindow::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    sizingTitleTimer_.stop();
    FrameBuffer* held;
    {
        std::lock_guard lock(frameMutex_);
        held = held_;
        held_ = nullptr;
        uploadPending_ = false;
    }
    if (held) ::release(held);  // outside the window's lock, like setFrame
    if (context_ && context_->isValid() && context_->makeCurrent(this)) {
        renderer_.release();
        overlay_.releaseGL();
        context_->doneCurrent();
    } else {
        renderer_.abandon();
        overlay_.abandonGL();
    }
    context_.reset();
    hide();
    destroy();
}

void ScreenWindow::setFrame(FrameBuffer* frame) {
    if (shutDown_) {
        ::release(frame);  // a closed window keeps nothing
        return;
    }
    FrameBuffer* previous;
    {
        std::lock_guard lock(frameMutex_);
        previous = held_;
        held_ = frame;
        uploadPending_ = true;
    }
    // Released after the window's lock: the last release takes the pool's lock.
    if (previous) ::release(previous);
    QCoreApplication::postEvent(this, new QEvent(kPaintEvent), Qt::LowEventPriority);
}

FrameBuffer* ScreenWindow::heldFrame() {
    std::lock_guard lock(frameMutex_);
    return held_;
}

bool ScreenWindow::event(QEvent* event) {
    if (event->type() == kPaintEvent || event->type() == QEvent::UpdateRequest) {
        QCoreApplication::removePostedEvents(this, kPaintEvent);
        render(false);
        return true;
    }
    if (event->type() == QEvent::Close) {
        // Closing any screen window closes the application; the control
        // window closes the screen windows itself.
        event->ignore();
        host_.postCloseApplication();
        return true;
    }
    return QWindow::event(event);
}

void ScreenWindow::exposeEvent(QExposeEvent*) {
    if (isExposed()) render(false);
}

bool ScreenWindow::makeCurrentOrRecover() {
    if (glBroken_ || !context_) return false;
    if (context_->isValid() && context_->makeCurrent(this)) return renderer_.ready();

    // The context was lost (driver reset): its objects died with it. Build a
    // new one once; if that fails the window stays black from now on.
    renderer_.abandon();
    overlay_.abandonGL();
    context_ = std::make_unique<QOpenGLContext>();
    context_->setFormat(requestedFormat());
    if (context_->create() && context_->makeCurrent(this) &&
        renderer_.init(naturalWidth_, naturalHeight_)) {
        std::lock_guard lock(frameMutex_);
        uploadPending_ = true;
        return true;
    }
    debugPrintf("dx.init() failed\n");
    glBroken_ = true;
    return false;
}

bool ScreenWindow::drawHeldFrame() {
    const qreal ratio = devicePixelRatio();
    const int clientWidth = int(width() * ratio);
    const int clientHeight = int(height() * ratio);

    std::lock_guard lock(frameMutex_);
    if (!held_) {
        renderer_.clear(clientWidth, clientHeight);
        return false;
    }
    if (uploadPending_) {
        uploadPending_ = false;
        if (const uint32_t* first = pictureStart(*held_, mode_, naturalWidth_, naturalHeight_))
            renderer_.upload(first, held_->layout.imageWidth);
    }
    const ScalingMode scaling = scalingMode();
    const Quad quad = computeScaledQuad(scaling, naturalWidth_, naturalHeight_, renderer_.textureWidth(),
                                        renderer_.textureHeight(), clientWidth, clientHeight,
                                        settings.overscanOn != 0, isFullScreen(), settings.overscan);
    renderer_.draw(quad, clientWidth, clientHeight, usesPointFiltering(scaling));
    return true;
}

void ScreenWindow::render(bool forGrab) {
    if (shutDown_ || (!forGrab && !isExposed())) return;
    if (!makeCurrentOrRecover()) return;
    if (hintedMode_ != int(scalingMode())) applyWindowHints();  // the mode changed elsewhere
    FrameBuffer* drawn = nullptr;
    if (drawHeldFrame()) {
        std::lock_guard lock(frameMutex_);
        drawn = held_;
    }
    const qreal ratio = devicePixelRatio();
    overlay_.draw(int(width() * ratio), int(height() * ratio), ratio);
    if (forGrab) return;
    context_->swapBuffers(this);
    if (drawn) {
        linkStats.paintCounter.fetch_add(1, std::memory_order_relaxed);
        overlay_.frameDrawn(drawn);
        if (FrameDrawnHook hook = frameDrawnHook.load()) hook(drawn);
    }
    Q_EMIT frameSwapped();
}

QImage ScreenWindow::grabFramebuffer() {
    if (shutDown_ || !makeCurrentOrRecover()) return {};
    render(true);
    const qreal ratio = devicePixelRatio();
    const int w = int(width() * ratio);
    const int h = int(height() * ratio);
    QImage image(w, h, QImage::Format_RGBA8888);
    QOpenGLFunctions* gl = context_->functions();
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, image.bits());
    // GL's rows run bottom-up.
    return image.mirrored(false, true).convertToFormat(QImage::Format_RGB32);
}

QImage ScreenWindow::currentPicture() {
    std::lock_guard lock(frameMutex_);
    return held_ ? pictureImage(*held_, mode_, naturalWidth_, naturalHeight_) : QImage();
}

void ScreenWindow::copyPicture() {
    const QImage picture = currentPicture();
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (picture.isNull() || !clipboard) {
        debugPrintf("copy picture: %s\n", picture.isNull() ? "no picture yet" : "no clipboard");
        return;
    }
    clipboard->setImage(picture);
}

// Sizing ----------------------------------------------------------------------

void ScreenWindow::resizeEvent(QResizeEvent*) {
    const QRect now = geometry();
    const bool normal = !(windowStates() & (Qt::WindowFullScreen | Qt::WindowMaximized |
                                            Qt::WindowMinimized));
    if (!shutDown_ && normal && !wantFullScreen_) {
        const QSize stored(settings.windowWidth[index_], settings.windowHeight[index_]);
        // Our own resizes (and the first one at creation) arrive at the
        // stored size; anything else is the user dragging a border.
        if (now.size() != stored) applySizing(lastNormalGeometry_, now);
        lastNormalGeometry_ = geometry();
    }
    if (isExposed()) render(false);
}

void ScreenWindow::moveEvent(QMoveEvent*) {
    const bool normal = !(windowStates() & (Qt::WindowFullScreen | Qt::WindowMaximized |
                                            Qt::WindowMinimized));
    if (normal && !wantFullScreen_) lastNormalGeometry_ = geometry();
}

void ScreenWindow::applySizing(const QRect& previous, const QRect& proposed) {
    // Client geometry throughout: the frame the window system adds moves
    // with it, so no frame sizes enter the rule.
    const SizingEdge edge = inferSizingEdge(previous, proposed);
    const WindowRect rect{proposed.left(), proposed.top(), proposed.left() + proposed.width(),
                          proposed.top() + proposed.height()};
    const Sizing sized = sizeWindow(naturalWidth_, naturalHeight_, 0, 0, edge, rect);
    // Within the screen; in pixel-perfect mode at a whole multiple.
    const QSize area = maxClientSize();
    ClientSize size{sized.clientWidth, sized.clientHeight};
    size = scalingMode() == ScalingMode::PixelPerfect
               ? snapToMultiple(naturalWidth_, naturalHeight_, size, area.width(), area.height())
               : capToArea(naturalWidth_, naturalHeight_, size, area.width(), area.height());
    const WindowRect placed = anchorRect(edge, rect, 0, 0, size.width, size.height);
    settings.windowWidth[index_] = size.width;
    settings.windowHeight[index_] = size.height;
    showSizingTitle(size.width, size.height);

    sizingTarget_ = keptOnScreen(QRect(placed.left, placed.top, size.width, size.height));
    if (sizingTarget_ != proposed) {
        setGeometry(sizingTarget_);
        applyWindowHints();
    }
}

QSize ScreenWindow::maxClientSize() const {
    QScreen* on = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!on) return {};
    const QMargins frame = frameMargins();  // none before the window manager framed it
    return on->availableGeometry().size().shrunkBy(frame);
}

void ScreenWindow::placeFrameAt(const QPoint& pos) {
    setFramePosition(pos);
    applyWindowHints();
}

QRect ScreenWindow::keptOnScreen(QRect client) const {
    // A window grown past the screen's edge moves back in, frame and all.
    QScreen* on = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!on) return client;
    const QRect area = on->availableGeometry().marginsRemoved(frameMargins());
    if (client.right() > area.right()) client.moveRight(area.right());
    if (client.bottom() > area.bottom()) client.moveBottom(area.bottom());
    if (client.left() < area.left()) client.moveLeft(area.left());
    if (client.top() < area.top()) client.moveTop(area.top());
    return client;
}

ScalingMode ScreenWindow::scalingMode() const { return scalingModeFromStored(settings.pointScaling); }

void ScreenWindow::applyWindowHints() {
    if (!handle()) return;
    const bool full = wantFullScreen_ || isFullScreen();
    const bool multiples = scalingMode() == ScalingMode::PixelPerfect && !full;
    const bool modeChanged = hintedMode_ != int(scalingMode());
    hintedMode_ = int(scalingMode());
    const QSize step = multiples ? QSize(naturalWidth_, naturalHeight_) : QSize();
    if (sizeIncrement() != step) setSizeIncrement(step);
    if (multiples && modeChanged) {
        // Into pixel perfect: the window steps down to a whole multiple, as
        // the window manager's increments would take it.
        const QSize area = maxClientSize();
        const ClientSize snapped = snapToMultiple(naturalWidth_, naturalHeight_, {width(), height()},
                                                  area.width(), area.height());
        if (QSize(snapped.width, snapped.height) != size()) resize(snapped.width, snapped.height);
    }
    if (full)
        setAspectHint(this, 0, 0);
    else
        setAspectHint(this, naturalWidth_, naturalHeight_);
}

void ScreenWindow::finishSizing() {
    setTitle(title_);
    // A window manager may override our size while it runs its own drag;
    // once the drag is over the window takes the aspect-locked size.
    const bool normal = !(windowStates() & (Qt::WindowFullScreen | Qt::WindowMaximized |
                                            Qt::WindowMinimized));
    if (normal && !wantFullScreen_ && !shutDown_ && sizingTarget_.isValid() &&
        geometry().size() != sizingTarget_.size()) {
        setGeometry(sizingTarget_);
        applyWindowHints();
    }
}

void ScreenWindow::showSizingTitle(int width, int height) {
    setTitle(QStringLiteral("%1 x %2").arg(width).arg(height));
    sizingTitleTimer_.start();
}

// Full screen and z-order -------------------------------------------------------

bool ScreenWindow::isFullScreen() const {
    return windowStates() & (Qt::WindowFullScreen | Qt::WindowMaximized);
}

void ScreenWindow::toggleFullScreen() {
    if (isFullScreen()) {
        leaveFullScreen();
        return;
    }
    wantFullScreen_ = true;
    applyWindowHints();  // no aspect or steps for the window manager to keep
    setFlag(Qt::WindowStaysOnTopHint, true);  // full screen is always on top
    showFullScreen();
    render(false);
}

void ScreenWindow::leaveFullScreen() {
    wantFullScreen_ = false;
    showNormal();
    setFlag(Qt::WindowStaysOnTopHint, settings.alwaysOnTop != 0);
    applyWindowHints();
    render(false);
}

void ScreenWindow::applyTopmost() {
    setFlag(Qt::WindowStaysOnTopHint, settings.alwaysOnTop != 0 || isFullScreen());
    applyWindowHints();
}

void ScreenWindow::fullScreenChanged() {
    pointerHider_->setActive(isFullScreen());
    Q_EMIT fullScreenStateChanged();
}

// Input ------------------------------------------------------------------------

void ScreenWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        leaveFullScreen();
        break;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        if (event->key() == Qt::Key_PageUp)
            overscanPageUp(settings.overscanOn, settings.overscan);
        else
            overscanPageDown(settings.overscanOn, settings.overscan);
        render(false);
        break;
    case Qt::Key_Up:
    case Qt::Key_Down:
        host_.forwardVolumeKey(*event);
        break;
    case Qt::Key_F2:
        postCommand(kCmdSplit);
        break;
    case Qt::Key_F3:
        postCommand(kCmdAlwaysOnTop);
        break;
    case Qt::Key_F4:
        switch (nextScalingMode(scalingMode())) {
        case ScalingMode::Bilinear: postCommand(kCmdBilinear); break;
        case ScalingMode::Point: postCommand(kCmdPoint); break;
        case ScalingMode::PixelPerfect: postCommand(kCmdPixelPerfect); break;
        }
        break;
    case Qt::Key_F1:
        overlay_.toggle();
        break;
    case Qt::Key_F11:
        toggleFullScreen();
        break;
    case Qt::Key_F12:
        host_.postSnapshot();
        break;
    case Qt::Key_C:
        if (!(event->modifiers() & Qt::ControlModifier)) {
            QWindow::keyPressEvent(event);
            return;
        }
        copyPicture();
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() & Qt::AltModifier) toggleFullScreen();
        break;
    case Qt::Key_Menu:
        showContextMenu(mapToGlobal(QPoint(0, 0)));
        break;
    case Qt::Key_F10:
        if (event->modifiers() & Qt::ShiftModifier) showContextMenu(mapToGlobal(QPoint(0, 0)));
        break;
    default:
        QWindow::keyPressEvent(event);
        return;
    }
    event->accept();
}

void ScreenWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && !isFullScreen()) {
        dragging_ = true;
        dragOrigin_ = event->position().toPoint();
    }
}

void ScreenWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return;
    const QPoint offset = event->position().toPoint() - dragOrigin_;
    // The window system moves the window once the pointer really drags (a
    // double-click must still reach us); without one we move it ourselves.
    if (offset.manhattanLength() < QGuiApplication::styleHints()->startDragDistance()) return;
    if (startSystemMove()) {
        dragging_ = false;
        return;
    }
    setPosition(position() + offset);
}

void ScreenWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragging_ = false;
    if (event->button() == Qt::RightButton) showContextMenu(event->globalPosition().toPoint());
}

void ScreenWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragging_ = false;
        toggleFullScreen();
    }
}

// Commands and the context menu --------------------------------------------------

void ScreenWindow::postCommand(int id) {
    QMetaObject::invokeMethod(this, [this, id] { command(id); }, Qt::QueuedConnection);
}

void ScreenWindow::command(int id) {
    auto chooseType = [this](uint32_t type) {
        if (settings.displayType != type) host_.postSetLayout(settings.splitWindows != 0, int(type));
    };
    switch (id) {
    case kCmdBilinear:
        settings.pointScaling = 0;
        break;
    case kCmdPoint:
        settings.pointScaling = 1;
        break;
    case kCmdPixelPerfect:
        settings.pointScaling = 2;
        break;
    case kCmdSnapshot:
        host_.postSnapshot();
        break;
    case kCmdCopyPicture:
        copyPicture();
        break;
    case kCmdAlwaysOnTop:
        settings.alwaysOnTop = settings.alwaysOnTop ? 0 : 1;
        host_.postApplyTopmost();
        break;
    case kCmdFullScreen:
        toggleFullScreen();
        break;
    case kCmdSplit:
        host_.postSetLayout(settings.splitWindows == 0, int(settings.displayType));
        break;
    case kCmdType2D: chooseType(1); break;
    case kCmdTypeSideBySide: chooseType(2); break;
    case kCmdTypeStretched: chooseType(3); break;
    case kCmdTypeVision: chooseType(4); break;
    case kCmdTypeUpscaled: chooseType(5); break;
    case kCmdTypeOneToOne: chooseType(6); break;
    default:
        break;
    }
    if (id == kCmdBilinear || id == kCmdPoint || id == kCmdPixelPerfect) {
        applyWindowHints();
        render(false);
    }
}
