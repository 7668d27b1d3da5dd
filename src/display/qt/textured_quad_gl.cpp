#include "display/qt/textured_quad_gl.h"

#include <QOpenGLShaderProgram>

QOpenGLShaderProgram* makeTexturedQuadProgram(const char* fragmentShader) {
    auto* program = new QOpenGLShaderProgram;
    if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, kTexturedQuadVertexShader) ||
        !program->addShaderFromSourceCode(QOpenGLShader::Fragment, fragmentShader) || !program->link()) {
        delete program;
        return nullptr;
    }
    return program;
}

GLuint makeQuadTexture(QOpenGLFunctions& gl, GLint filter, int width, int height, const void* pixels) {
    GLuint texture = 0;
    gl.glGenTextures(1, &texture);
    gl.glBindTexture(GL_TEXTURE_2D, texture);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, pixels);
    return texture;
}

void drawTexturedQuad(QOpenGLFunctions& gl, GLuint position, GLuint texCoord, const float* vertices) {
    gl.glBindBuffer(GL_ARRAY_BUFFER, 0);
    gl.glEnableVertexAttribArray(position);
    gl.glEnableVertexAttribArray(texCoord);
    gl.glVertexAttribPointer(position, 2, GL_FLOAT, GL_FALSE, 4 * sizeof(float), vertices);
    gl.glVertexAttribPointer(texCoord, 2, GL_FLOAT, GL_FALSE, 4 * sizeof(float), vertices + 2);
    gl.glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    gl.glDisableVertexAttribArray(position);
    gl.glDisableVertexAttribArray(texCoord);
}
