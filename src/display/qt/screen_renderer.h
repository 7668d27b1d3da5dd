#pragma once
// The GL side of one screen window: a power-of-two texture that holds the
// window's picture, and a textured quad over a black background.
#include <QOpenGLFunctions>
#include <cstdint>

#include "display/screen_geometry.h"

class QOpenGLContext;
class QOpenGLShaderProgram;

class ScreenRenderer : protected QOpenGLFunctions {
public:
    ScreenRenderer() = default;
    ~ScreenRenderer();
    ScreenRenderer(const ScreenRenderer&) = delete;
    ScreenRenderer& operator=(const ScreenRenderer&) = delete;

    // With the context current: shader and a black texture big enough for
    // pictureWidth x pictureHeight. False leaves the renderer unusable.
    bool init(int pictureWidth, int pictureHeight);
    // With the context current; safe to call when init failed or never ran.
    void release();
    // Forgets the GL objects without touching GL: their context is gone.
    void abandon();
    bool ready() const { return ready_; }

    int textureWidth() const { return textureWidth_; }
    int textureHeight() const { return textureHeight_; }

    // Copies the picture rows straight from a display image: pictureHeight
    // rows of pictureWidth pixels from `first`, rowLength pixels apart.
    void upload(const uint32_t* first, int rowLength);
    // Clears to black and draws the quad (window pixels, y down, pixel
    // centres at integers) into a client area of clientWidth x clientHeight
    // device pixels.
    void draw(const Quad& quad, int clientWidth, int clientHeight, bool pointScaling);
    // Only the black background (no picture yet, or nothing to show).
    void clear(int clientWidth, int clientHeight);

private:
    bool ready_ = false;
    QOpenGLShaderProgram* program_ = nullptr;
    unsigned texture_ = 0;
    int pictureWidth_ = 0;
    int pictureHeight_ = 0;
    int textureWidth_ = 0;
    int textureHeight_ = 0;
    int positionLocation_ = -1;
    int texCoordLocation_ = -1;
};
