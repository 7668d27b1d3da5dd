#include "app/camera_share.h"

#include <QActionGroup>
#include <QMenu>

#include "base/debug_log.h"
#include "base/status_line.h"
#include "display/decode.h"
#include "settings/settings.h"
#include "share/share_choice.h"

namespace {
bool requestedAtStart = false;
}

void requestCameraShareAtStart() { requestedAtStart = true; }
bool cameraShareRequestedAtStart() { return requestedAtStart; }

CameraShare::CameraShare() {
    const ShareChoice choice = loadShareChoice();
    on_ = choice.on || requestedAtStart;
    scale_ = choice.scale;
    share_.setScale(scale_);
    share_.setSharing(on_);
    std::string error;
    if (!share_.start(&CameraShare::onState, this, &error)) {
        state_ = PipeWireShare::State::NoPipeWire;
        message_ = QString::fromStdString(error);
        debugPrintf("PipeWire: %s\n", error.c_str());
    }
}

CameraShare::~CameraShare() { share_.stop(); }

void CameraShare::onState(void* context, PipeWireShare::State state, const std::string& message) {
    auto* self = static_cast<CameraShare*>(context);
    const QString text = QString::fromStdString(message);
    QMetaObject::invokeMethod(self, [self, state, text] { self->applyState(state, text); }, Qt::QueuedConnection);
}

void CameraShare::applyState(PipeWireShare::State state, const QString& message) {
    state_ = state;
    message_ = message;
    if (state == PipeWireShare::State::Lost) {
        if (!wasLost_) setStatusLine("PipeWire stopped: the camera is offered again when it returns");
        wasLost_ = true;
    } else if (state == PipeWireShare::State::Sharing) {
        setStatusLine(wasLost_ ? "PipeWire is back: sharing as camera again" : "Sharing as camera \"Kestrel Capture\"");
        wasLost_ = false;
    } else if (state == PipeWireShare::State::Ready) {
        wasLost_ = false;
    }
    Q_EMIT stateChanged();
}

void CameraShare::remember() {
    if (!saveShareChoice({on_, scale_})) debugPrintf("PipeWire: could not save the camera choice\n");
}

void CameraShare::setSharing(bool on) {
    on_ = on;
    share_.setSharing(on);
    remember();
    if (!on) setStatusLine("Camera sharing off");
}

void CameraShare::setScale(int scale) {
    scale_ = clampShareScale(scale);
    share_.setScale(scale_);
    remember();
}

void CameraShare::addMenuEntries(QMenu& menu) {
    menu.setToolTipsVisible(true);
    toggle_ = menu.addAction(QStringLiteral("Share as &camera (PipeWire)"));
    toggle_->setCheckable(true);
    toggle_->setChecked(on_);
    if (!available()) {
        toggle_->setEnabled(false);
        toggle_->setToolTip(message_);
        debugPrintf("PipeWire: camera sharing unavailable: %s\n", message_.toUtf8().constData());
    } else if (state_ == PipeWireShare::State::Lost) {
        toggle_->setToolTip(QStringLiteral("PipeWire stopped; the camera is offered again when it returns"));
    }
    QMenu* sizes = menu.addMenu(QStringLiteral("Camera picture si&ze"));
    auto* group = new QActionGroup(sizes);
    const uint32_t type = settings.displayType;
    const DisplayLayout& layout = displayTypeTable[type >= 1 && type < kDisplayTypeCount ? type : 1];
    for (int scale = 1; scale <= 3; ++scale) {
        const PictureSize size = sharedPictureSize(layout, scale);
        QAction* action = sizes->addAction(
            QStringLiteral("&%1\u00d7 (%2\u00d7%3)").arg(scale).arg(size.width).arg(size.height));
        action->setCheckable(true);
        action->setChecked(scale == scale_);
        group->addAction(action);
        sizes_[scale - 1] = action;
    }
}

bool CameraShare::chosen(QAction* action) {
    bool ours = false;
    if (action && action == toggle_) {
        setSharing(!on_);
        ours = true;
    }
    for (int i = 0; i < 3 && !ours; ++i)
        if (action && action == sizes_[i]) {
            setScale(i + 1);
            ours = true;
        }
    toggle_ = nullptr;
    for (QAction*& a : sizes_) a = nullptr;
    return ours;
}
