#pragma once
// What every textured quad we draw shares: the GL constants that older GL
// headers lack, the vertex shader that passes position and texture
// coordinate straight through, and the set-up and drawing of program,
// texture and quad.
#include <QOpenGLFunctions>

class QOpenGLShaderProgram;

#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif
#ifndef GL_UNSIGNED_INT_8_8_8_8_REV
#define GL_UNSIGNED_INT_8_8_8_8_REV 0x8367
#endif
#ifndef GL_RGBA8
#define GL_RGBA8 0x8058
#endif
#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif

inline constexpr const char* kTexturedQuadVertexShader = R"(
attribute vec2 position;
attribute vec2 texCoord;
varying vec2 uv;
void main() {
    uv = texCoord;
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

// The quad's program with the given fragment shader, linked; null when it
// does not compile or link. The caller owns it.
QOpenGLShaderProgram* makeTexturedQuadProgram(const char* fragmentShader);

// A new RGBA8 texture of width x height, left bound, clamped at its edges,
// filtered by `filter` both ways, filled from tightly packed BGRA `pixels`
// (none: contents undefined until the first upload).
GLuint makeQuadTexture(QOpenGLFunctions& gl, GLint filter, int width, int height, const void* pixels);

// Draws the bound texture with the bound program as a strip of four vertices
// of (x, y, u, v) each, given the program's attribute locations.
void drawTexturedQuad(QOpenGLFunctions& gl, GLuint position, GLuint texCoord, const float* vertices);
