#include "display/qt/stats_overlay.h"

#include <QFont>
#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <QPainter>
#include <algorithm>
#include <atomic>

#include "base/steady_clock.h"
#include "core/audio_engine.h"
#include "core/audio_path.h"
#include "core/audio_ring.h"
#include "core/link_stats.h"

#include "display/qt/textured_quad_gl.h"

namespace {

std::atomic<StatsOverlay::FrameReadClock> frameReadClock{nullptr};
std::atomic<StatsOverlay::RecordingClock> recordingClock{nullptr};

constexpr int kPanelWidth = 190;  // logical pixels
constexpr int kPanelHeight = 78;
constexpr int kMargin = 8;

// The panel is premultiplied ARGB: blended over the picture as it is.
const char* const kFragmentShader = R"(
#ifdef GL_ES
precision mediump float;
#endif
uniform sampler2D panel;
varying vec2 uv;
void main() {
    gl_FragColor = texture2D(panel, uv);
}
)";

// The cushion: sound held in the ring ahead of the output; -1 without one.
int soundCushionMs() {
    if (audioLatencySamples() < 0) return -1;
    const AudioRing& ring = audioRing();
    const uint64_t held = ring.writeTotal() - ring.readTotal();
    return int(held / audio::kBytesPerSampleFrame * 1000 / audio::kSampleRate);
}

}  // namespace

void StatsOverlay::setFrameReadClock(FrameReadClock clock) { frameReadClock = clock; }
void StatsOverlay::setRecordingClock(RecordingClock clock) { recordingClock = clock; }

StatsOverlay::StatsOverlay(std::function<void()> changed, QObject* parent)
    : QObject(parent), changed_(std::move(changed)),
      panel_(kPanelWidth, kPanelHeight, QImage::Format_ARGB32_Premultiplied) {
    refreshTimer_.setInterval(1000);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] { refresh(); });
}

StatsOverlay::~StatsOverlay() { delete program_; }

void StatsOverlay::toggle() {
    visible_ = !visible_;
    if (visible_) {
        drawn_ = 0;
        latencyCount_ = 0;
        lastSkips_ = linkStats.skips.load(std::memory_order_relaxed);
        lastErrors_ = linkStats.errors.load(std::memory_order_relaxed);
        figures_ = Figures{};
        // The sound is known at once; the counts after their first second.
        figures_.cushionMs = soundCushionMs();
        paintPanel();
        refreshTimer_.start();
    } else {
        refreshTimer_.stop();
    }
    if (changed_) changed_();
}

void StatsOverlay::frameDrawn(const FrameBuffer* frame) {
    if (!visible_) return;
    ++drawn_;
    const FrameReadClock clock = frameReadClock.load();
    const int64_t readAt = clock ? clock(frame) : 0;
    if (readAt <= 0 || latencyCount_ >= int(latencyUs_.size())) return;
    const int64_t us = (steadyNs() - readAt) / 1000;
    if (us >= 0 && us < INT32_MAX) latencyUs_[size_t(latencyCount_++)] = int32_t(us);
}

void StatsOverlay::refresh() {
    const int32_t skips = linkStats.skips.load(std::memory_order_relaxed);
    const int32_t errors = linkStats.errors.load(std::memory_order_relaxed);
    figures_.fps = drawn_;
    figures_.skips = skips - lastSkips_;
    figures_.errors = errors - lastErrors_;
    lastSkips_ = skips;
    lastErrors_ = errors;
    drawn_ = 0;

    figures_.latencyMs = -1;
    if (latencyCount_ > 0) {
        int32_t* first = latencyUs_.data();
        int32_t* middle = first + latencyCount_ / 2;
        std::nth_element(first, middle, first + latencyCount_);
        figures_.latencyMs = double(*middle) / 1000.0;
    }
    latencyCount_ = 0;

    figures_.cushionMs = soundCushionMs();
    figures_.counted = true;

    const RecordingClock clock = recordingClock.load();
    const int64_t seconds = clock ? clock() : -1;
    figures_.recording = seconds >= 0;
    figures_.recordingSeconds = seconds >= 0 ? seconds : 0;
    paintPanel();
    if (changed_) changed_();
}

void StatsOverlay::paintPanel() {
    panel_.fill(Qt::transparent);
    QPainter p(&panel_);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 170));
    p.drawRoundedRect(QRectF(0, 0, kPanelWidth, kPanelHeight), 5, 5);
    QFont font = p.font();
    font.setPixelSize(12);
    p.setFont(font);
    p.setPen(Qt::white);

    char line[96];
    if (figures_.counted)
        std::snprintf(line, sizeof line, "%d fps  %d skips  %d errors", figures_.fps, figures_.skips,
                      figures_.errors);
    else
        std::snprintf(line, sizeof line, "counting frames...");
    p.drawText(8, 17, QString::fromLatin1(line));
    if (figures_.latencyMs >= 0)
        std::snprintf(line, sizeof line, "latency %.1f ms", figures_.latencyMs);
    else
        std::snprintf(line, sizeof line, "latency -");
    p.drawText(8, 34, QString::fromLatin1(line));
    if (figures_.cushionMs >= 0)
        std::snprintf(line, sizeof line, "sound cushion %d ms", figures_.cushionMs);
    else
        std::snprintf(line, sizeof line, "sound off");
    p.drawText(8, 51, QString::fromLatin1(line));
    if (figures_.recording) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(230, 20, 20));
        p.drawEllipse(QRectF(8, 59, 11, 11));
        p.setPen(Qt::white);
        const int64_t s = figures_.recordingSeconds;
        std::snprintf(line, sizeof line, "REC %02d:%02d:%02d", int(s / 3600), int(s / 60 % 60), int(s % 60));
        p.drawText(25, 69, QString::fromLatin1(line));
    }
    p.end();
    panelDirty_ = true;
}

bool StatsOverlay::initGL() {
    initializeOpenGLFunctions();
    program_ = makeTexturedQuadProgram(kFragmentShader);
    if (!program_) return false;
    texture_ = makeQuadTexture(*this, GL_NEAREST, kPanelWidth, kPanelHeight, nullptr);
    panelDirty_ = true;
    glReady_ = true;
    return true;
}

void StatsOverlay::draw(int clientWidth, int clientHeight, qreal) {
    if (!visible_ || clientWidth <= 0 || clientHeight <= 0) return;
    if (!glReady_ && !initGL()) return;
    glBindTexture(GL_TEXTURE_2D, texture_);
    if (panelDirty_) {
        panelDirty_ = false;
        glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kPanelWidth, kPanelHeight, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
                        panel_.constBits());
    }
    // The panel 1:1 in device pixels at the top-left corner; rows of the
    // image run top-down, so v = 0 is the top edge.
    const float x0 = float(kMargin) * 2.0f / float(clientWidth) - 1.0f;
    const float x1 = float(kMargin + kPanelWidth) * 2.0f / float(clientWidth) - 1.0f;
    const float y0 = 1.0f - float(kMargin) * 2.0f / float(clientHeight);
    const float y1 = 1.0f - float(kMargin + kPanelHeight) * 2.0f / float(clientHeight);
    const float vertices[16] = {x0, y1, 0, 1, x0, y0, 0, 0, x1, y1, 1, 1, x1, y0, 1, 0};

    glViewport(0, 0, clientWidth, clientHeight);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    glActiveTexture(GL_TEXTURE0);
    program_->bind();
    program_->setUniformValue("panel", 0);
    const GLuint position = GLuint(program_->attributeLocation("position"));
    const GLuint texCoord = GLuint(program_->attributeLocation("texCoord"));
    drawTexturedQuad(*this, position, texCoord, vertices);
    program_->release();
    glDisable(GL_BLEND);
}

void StatsOverlay::releaseGL() {
    if (glReady_ && QOpenGLContext::currentContext() && texture_ != 0) glDeleteTextures(1, &texture_);
    abandonGL();
}

void StatsOverlay::abandonGL() {
    texture_ = 0;
    delete program_;
    program_ = nullptr;
    glReady_ = false;
}
