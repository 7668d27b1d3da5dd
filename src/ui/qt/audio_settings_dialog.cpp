#include "ui/qt/audio_settings_dialog.h"

#include <QWidget>

int showAudioSettingsDialog(QWidget* owner) {
    (void)owner;
    return 0;
}
