#include "display/qt/x11_size_hints.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <QWindow>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"

namespace {

// WM_SIZE_HINTS: 18 32-bit fields (ICCCM 4.1.2.3).
constexpr int kFields = 18;
constexpr uint32_t kAspectFlag = 1u << 7;  // PAspect
enum Field { kFlags = 0, kMinAspectX = 11, kMinAspectY = 12, kMaxAspectX = 13, kMaxAspectY = 14 };

bool reportedUnavailable = false;

}  // namespace

void setAspectHint(QWindow* window, int width, int height) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || !window->handle()) {
        if (!reportedUnavailable) debugPrintf("window hints: not on X11, no aspect hint\n");
        reportedUnavailable = true;
        return;
    }
    const xcb_window_t id = xcb_window_t(window->winId());
    uint32_t hints[kFields] = {};
    xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, id, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 0, kFields);
    if (xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr)) {
        const int length = xcb_get_property_value_length(reply);
        if (reply->format == 32 && length > 0)
            std::memcpy(hints, xcb_get_property_value(reply), std::min<size_t>(size_t(length), sizeof hints));
        std::free(reply);
    }
    if (width > 0 && height > 0) {
        hints[kFlags] |= kAspectFlag;
        hints[kMinAspectX] = hints[kMaxAspectX] = uint32_t(width);
        hints[kMinAspectY] = hints[kMaxAspectY] = uint32_t(height);
    } else {
        hints[kFlags] &= ~kAspectFlag;
    }
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, kFields, hints);
    xcb_flush(connection);
}
