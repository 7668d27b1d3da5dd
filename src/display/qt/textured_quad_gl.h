#pragma once
// What every textured quad we draw shares: the GL constants that older GL
// headers lack, and the vertex shader that passes position and texture
// coordinate straight through.
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
