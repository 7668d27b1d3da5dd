#pragma once
// One top-level screen window: the joined window, or the top or bottom
// window of the split layout. Draws the frame it holds with OpenGL straight
// to its own surface, keeps the picture's aspect ratio while the user sizes
// it, and offers full screen, overscan, scaling and layout commands.
// Window life and drawing in screen_window.cpp, sizing and full screen in
// screen_window_sizing.cpp, keys and mouse in screen_window_input.cpp, the
// commands and the context menu in screen_context_menu.cpp.
#include <QImage>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QWindow>
#include <memory>
#include <mutex>

#include "core/frame_buffer.h"
#include "display/qt/screen_renderer.h"
#include "display/qt/stats_overlay.h"
#include "display/scaling_policy.h"

class QMenu;
class QOpenGLContext;
class PointerHider;
class ScreenHost;

// What a window shows.
enum WindowMode : int {
    kModeJoined = 0,  // the whole display image
    kModeTop = 1,     // the top screen: rows from the image's start
    kModeBottom = 2,  // the bottom screen: rows from the bottom offset
    kModeStereo = 3,  // stereo types: sized, no picture
    kModeVision = 4,  // shutter-glasses type: sized, no picture
};

// Menu commands of the context menu and the keys.
enum ScreenCommand : int {
    kCmdBilinear = 40022,
    kCmdPoint = 40023,
    kCmdAlwaysOnTop = 40026,
    kCmdFullScreen = 40027,
    kCmdOverscan = 40029,
    kCmdSplit = 40032,
    kCmdType2D = 40036,
    kCmdTypeSideBySide = 40037,
    kCmdTypeVision = 40041,
    kCmdTypeStretched = 40042,
    kCmdTypeUpscaled = 40044,
    kCmdTypeOneToOne = 40038,
    kCmdPixelPerfect = 40046,
    kCmdSnapshot = 40050,
    kCmdCopyPicture = 40051,
};

class ScreenWindow : public QWindow {
    Q_OBJECT
public:
    explicit ScreenWindow(ScreenHost& host);
    ~ScreenWindow() override;

    // Creates and shows the window at its stored or natural client size with
    // its own GL context. False when the window or its context cannot be made.
    bool init(const QString& title, int naturalWidth, int naturalHeight, WindowMode mode,
              int index);
    // Releases the held frame and the GL objects and hides the window.
    void shutdown();

    // Takes over one reference on frame; the one held before is released.
    void setFrame(FrameBuffer* frame);
    FrameBuffer* heldFrame();

    // Full screen is the maximised or full-screen state, however reached.
    bool isFullScreen() const;
    void toggleFullScreen();
    void leaveFullScreen();
    // Places the window per settings.alwaysOnTop (always on top in full screen).
    void applyTopmost();

    // A menu command (see ScreenCommand).
    void command(int id);
    // The context menu as it would be shown now (checks and greyed entries).
    std::unique_ptr<QMenu> createContextMenu();

    // Draws the held frame now and reads the result back (tests).
    QImage grabFramebuffer();

    // The held frame's picture as an image: the display image as composed
    // (joined), or this window's screen (split). Null without a picture.
    QImage currentPicture();
    // Ctrl+C: currentPicture() to the clipboard.
    void copyPicture();

    // The largest client size that fits the available area of the window's
    // screen with the window's frame.
    QSize maxClientSize() const;
    ScalingMode scalingMode() const;
    // Moves the window's frame's top-left corner to pos.
    void placeFrameAt(const QPoint& pos);

    StatsOverlay& overlay() { return overlay_; }
    const PointerHider& pointerHider() const { return *pointerHider_; }

    QString baseTitle() const { return title_; }
    WindowMode mode() const { return mode_; }
    int index() const { return index_; }
    QSize naturalSize() const { return QSize(naturalWidth_, naturalHeight_); }
    const ScreenRenderer& renderer() const { return renderer_; }

    // Called after each frame is drawn and swapped (latency measurements).
    using FrameDrawnHook = void (*)(FrameBuffer* frame);
    static void setFrameDrawnHook(FrameDrawnHook hook);

Q_SIGNALS:
    void frameSwapped();
    // Entered or left full screen (as the window system reports it).
    void fullScreenStateChanged();

protected:
    bool event(QEvent* event) override;
    void exposeEvent(QExposeEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // Neither full screen, maximised nor minimised, nor on its way to full
    // screen: the state whose geometry is the user's own.
    bool inNormalState() const;
    bool makeCurrentOrRecover();
    void render(bool forGrab);
    bool drawHeldFrame();
    void applySizing(const QRect& previous, const QRect& proposed);
    QRect keptOnScreen(QRect client) const;
    void showContextMenu(const QPoint& globalPos);
    void postCommand(int id);
    void showSizingTitle(int width, int height);
    void finishSizing();
    // The size hints the window manager gets: minimum size (Qt), aspect
    // ratio and, in pixel-perfect mode, whole-multiple size steps; none of
    // the last two in full screen. Again after each change Qt makes.
    void applyWindowHints();
    void fullScreenChanged();

    ScreenHost& host_;
    QString title_;
    int naturalWidth_ = 0;
    int naturalHeight_ = 0;
    WindowMode mode_ = kModeJoined;
    int index_ = 0;

    std::unique_ptr<QOpenGLContext> context_;
    ScreenRenderer renderer_;
    bool glBroken_ = false;  // re-creation failed: the window stays black
    StatsOverlay overlay_;
    PointerHider* pointerHider_ = nullptr;  // owned by the window as its child
    int hintedMode_ = -1;                   // the scaling mode the hints were made for

    std::mutex frameMutex_;        // guards held_ and uploadPending_
    FrameBuffer* held_ = nullptr;  // one reference owned by the window
    bool uploadPending_ = false;   // held_ not yet copied into the texture

    QRect lastNormalGeometry_;     // to tell which edge the user dragged
    QTimer sizingTitleTimer_;      // when sizing ends: title back, final size
    QRect sizingTarget_;           // the aspect-locked geometry last computed
    bool wantFullScreen_ = false;
    bool shutDown_ = false;
    // Drag fallback when the window system cannot move the window itself.
    bool dragging_ = false;
    QPoint dragOrigin_;
};
