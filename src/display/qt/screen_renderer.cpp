#include "display/qt/screen_renderer.h"

#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <vector>

#include "display/qt/textured_quad_gl.h"

namespace {

// The fourth byte of a display pixel is undefined: the picture is opaque.
const char* const kFragmentShader = R"(
#ifdef GL_ES
precision mediump float;
#endif
uniform sampler2D picture;
varying vec2 uv;
void main() {
    gl_FragColor = vec4(texture2D(picture, uv).rgb, 1.0);
}
)";

}  // namespace

ScreenRenderer::~ScreenRenderer() {
    // GL objects go with their context; release() frees them earlier when it can.
    delete program_;
}

bool ScreenRenderer::init(int pictureWidth, int pictureHeight) {
    release();
    if (!QOpenGLContext::currentContext()) return false;
    initializeOpenGLFunctions();
    pictureWidth_ = pictureWidth;
    pictureHeight_ = pictureHeight;
    textureWidth_ = textureSizeFor(pictureWidth);
    textureHeight_ = textureSizeFor(pictureHeight);

    program_ = makeTexturedQuadProgram(kFragmentShader);
    if (!program_) return false;
    positionLocation_ = program_->attributeLocation("position");
    texCoordLocation_ = program_->attributeLocation("texCoord");

    // A window with no picture yet (or a mode that gets none) shows black.
    const std::vector<uint32_t> black(size_t(textureWidth_) * size_t(textureHeight_), 0);
    texture_ = makeQuadTexture(*this, GL_LINEAR, textureWidth_, textureHeight_, black.data());
    if (glGetError() != GL_NO_ERROR) {
        release();
        return false;
    }
    ready_ = true;
    return true;
}

void ScreenRenderer::release() {
    if (QOpenGLContext::currentContext() && texture_ != 0) glDeleteTextures(1, &texture_);
    texture_ = 0;
    delete program_;
    program_ = nullptr;
    ready_ = false;
}

void ScreenRenderer::abandon() {
    texture_ = 0;
    delete program_;  // only frees the wrapper: its context is gone
    program_ = nullptr;
    ready_ = false;
}

void ScreenRenderer::upload(const uint32_t* first, int rowLength) {
    if (!ready_) return;
    glBindTexture(GL_TEXTURE_2D, texture_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, rowLength);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, pictureWidth_, pictureHeight_, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
                    first);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}

void ScreenRenderer::clear(int clientWidth, int clientHeight) {
    glViewport(0, 0, clientWidth, clientHeight);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

void ScreenRenderer::draw(const Quad& quad, int clientWidth, int clientHeight,
                          bool pointScaling) {
    clear(clientWidth, clientHeight);
    if (!ready_ || clientWidth <= 0 || clientHeight <= 0) return;

    // Window pixels to normalised device coordinates. GL puts pixel centres
    // at half-integers where the quad has them at integers: add half a pixel
    // back, so that texel centres land on pixel centres at 1:1.
    float vertices[16];
    for (int i = 0; i < 4; ++i) {
        vertices[4 * i + 0] = (quad.vertices[i].x + 0.5f) * 2.0f / float(clientWidth) - 1.0f;
        vertices[4 * i + 1] = 1.0f - (quad.vertices[i].y + 0.5f) * 2.0f / float(clientHeight);
        vertices[4 * i + 2] = quad.vertices[i].u;
        vertices[4 * i + 3] = quad.vertices[i].v;
    }

    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glDisable(GL_CULL_FACE);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, texture_);
    const GLint filter = pointScaling ? GL_NEAREST : GL_LINEAR;
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);

    program_->bind();
    program_->setUniformValue("picture", 0);
    drawTexturedQuad(*this, GLuint(positionLocation_), GLuint(texCoordLocation_), vertices);
    program_->release();
}
