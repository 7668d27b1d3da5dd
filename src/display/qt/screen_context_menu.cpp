// The screen window's commands and the context menu that offers them: the
// state the menu shows, the command each item carries, and what each
// command does.
#include <QMenu>

#include "display/qt/screen_host.h"
#include "display/qt/screen_window.h"
#include "settings/settings.h"

std::unique_ptr<QMenu> ScreenWindow::createContextMenu() {
    auto menu = std::make_unique<QMenu>();
    auto item = [](QMenu* into, const QString& text, int id, bool checked, bool enabled = true) {
        QAction* action = into->addAction(text);
        action->setData(id);
        // Only a chosen item shows a mark: the style draws an empty box for
        // every checkable item that is not checked.
        action->setCheckable(checked);
        action->setChecked(checked);
        action->setEnabled(enabled);
        return action;
    };
    const uint32_t type = settings.displayType;

    QMenu* types = menu->addMenu(QStringLiteral("Display type"));
    item(types, QStringLiteral("2D"), kCmdType2D, type == 1);
    item(types, QStringLiteral("3D side by side"), kCmdTypeSideBySide, false, false);
    item(types, QStringLiteral("3D SBS stretched"), kCmdTypeStretched, false, false);
    item(types, QStringLiteral("NVidia 3D Vision"), kCmdTypeVision, false, false);
    item(types, QStringLiteral("DS (upscaled)"), kCmdTypeUpscaled, type == 5);
    item(types, QStringLiteral("DS (1:1)"), kCmdTypeOneToOne, type == 6);
    // The recording's region was fixed by the display type it started with.
    types->menuAction()->setEnabled(!host_.recordingRunning());

    item(menu.get(), QStringLiteral("Split Window\tF2"), kCmdSplit, settings.splitWindows != 0);
    item(menu.get(), QStringLiteral("Always on top\tF3"), kCmdAlwaysOnTop, settings.alwaysOnTop != 0);
    QMenu* scaling = menu->addMenu(QStringLiteral("Scaling\tF4"));
    const ScalingMode scalingNow = scalingMode();
    item(scaling, QStringLiteral("Bilinear"), kCmdBilinear, scalingNow == ScalingMode::Bilinear);
    item(scaling, QStringLiteral("Point"), kCmdPoint, scalingNow == ScalingMode::Point);
    item(scaling, QStringLiteral("Pixel perfect"), kCmdPixelPerfect, scalingNow == ScalingMode::PixelPerfect);
    menu->addSeparator();
    item(menu.get(), QStringLiteral("Full Screen\tAlt+Enter"), kCmdFullScreen, isFullScreen());
    // Shows the state only; Page Up and Page Down change it.
    item(menu.get(), QStringLiteral("Overscan\tPgUp/Dn"), kCmdOverscan, settings.overscanOn != 0,
         false);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Snapshot\tF12"))->setData(int(kCmdSnapshot));
    menu->addAction(QStringLiteral("Copy picture\tCtrl+C"))->setData(int(kCmdCopyPicture));
    return menu;
}

void ScreenWindow::showContextMenu(const QPoint& globalPos) {
    std::unique_ptr<QMenu> menu = createContextMenu();
    QAction* chosen = menu->exec(globalPos);
    if (chosen && chosen->data().isValid()) command(chosen->data().toInt());
}

void ScreenWindow::postCommand(int id) {
    QMetaObject::invokeMethod(this, [this, id] { command(id); }, Qt::QueuedConnection);
}

void ScreenWindow::command(int id) {
    auto chooseType = [this](uint32_t type) {
        if (settings.displayType != type) host_.postSetLayout(settings.splitWindows != 0, int(type));
    };
    switch (id) {
    case kCmdBilinear:
        settings.pointScaling = 0;
        break;
    case kCmdPoint:
        settings.pointScaling = 1;
        break;
    case kCmdPixelPerfect:
        settings.pointScaling = 2;
        break;
    case kCmdSnapshot:
        host_.postSnapshot();
        break;
    case kCmdCopyPicture:
        copyPicture();
        break;
    case kCmdAlwaysOnTop:
        settings.alwaysOnTop = settings.alwaysOnTop ? 0 : 1;
        host_.postApplyTopmost();
        break;
    case kCmdFullScreen:
        toggleFullScreen();
        break;
    case kCmdSplit:
        host_.postSetLayout(settings.splitWindows == 0, int(settings.displayType));
        break;
    case kCmdType2D: chooseType(1); break;
    case kCmdTypeSideBySide: chooseType(2); break;
    case kCmdTypeStretched: chooseType(3); break;
    case kCmdTypeVision: chooseType(4); break;
    case kCmdTypeUpscaled: chooseType(5); break;
    case kCmdTypeOneToOne: chooseType(6); break;
    default:
        break;
    }
    if (id == kCmdBilinear || id == kCmdPoint || id == kCmdPixelPerfect) {
        applyWindowHints();
        render(false);
    }
}
