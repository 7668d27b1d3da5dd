#include "app/qt_core_host.h"

#include <QMetaObject>

#include "base/steady_clock.h"
#include "firmware/qt/firmware_dialog.h"
#include "app/board_reports.h"
#include "app/control_window.h"

namespace {

int poolIndex(const FrameBuffer* frame) {
    const ptrdiff_t index = frame - framePool.buffers;
    return index >= 0 && index < kPoolSize ? int(index) : -1;
}

}  // namespace

bool QtCoreHost::postFrameReady(FrameBuffer* frame) {
    ControlWindow* window = window_.load();
    if (!window) return false;
    if (const int index = poolIndex(frame); index >= 0)
        postedAt_[index].store(steadyNs(), std::memory_order_relaxed);
    return QMetaObject::invokeMethod(
        window, [window, frame] { window->dispatchFrame(frame); }, Qt::QueuedConnection);
}

int64_t QtCoreHost::postedAt(const FrameBuffer* frame) const {
    const int index = poolIndex(frame);
    return index >= 0 ? postedAt_[index].load(std::memory_order_relaxed) : 0;
}

int QtCoreHost::runFirmwareUpdate() {
    // A second request while the dialog is open is answered by that dialog.
    if (firmwareDialogOpen()) return 1;
    const int result = runFirmwareUpdateDialog(window_.load());
    reportFirmwareUpdateResult(result);
    return result;
}

void QtCoreHost::postBoardLeft() {
    if (ControlWindow* window = window_.load())
        QMetaObject::invokeMethod(
            window,
            [window] {
                if (!window->hasClosed()) reportBoardLeft();
            },
            Qt::QueuedConnection);
}

void QtCoreHost::postClose() {
    if (ControlWindow* window = window_.load())
        QMetaObject::invokeMethod(window, [window] { window->close(); }, Qt::QueuedConnection);
}

void QtCoreHost::postDeviceArrival(const usb::Guid& interfaceClass) {
    if (ControlWindow* window = window_.load())
        QMetaObject::invokeMethod(
            window,
            [window, interfaceClass] {
                // An open update dialog takes the arrival itself.
                if (window->hasClosed() || firmwareDialogTakesArrival(interfaceClass)) return;
                deviceArrival(interfaceClass);
                reportBoardArrival();
            },
            Qt::QueuedConnection);
}
