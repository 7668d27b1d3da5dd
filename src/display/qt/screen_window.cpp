#include "display/qt/screen_window.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QScreen>
#include <QSurfaceFormat>

#include "base/debug_log.h"
#include "base/fatal.h"
#include "core/link_stats.h"
#include "display/qt/pointer_hider.h"
#include "display/qt/screen_host.h"
#include "display/qt/window_geometry.h"
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
    // No icon of its own: the application's one is shared by every window.
    // (An icon made per window fills Qt's pixmap cache with a copy for each
    // window ever opened.)
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
