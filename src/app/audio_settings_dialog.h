#pragma once
// The "Audio Settings" dialog: output device, recording source, format.
#include <QString>
#include <QStringList>

class QWidget;

// Modal. 1 after "&OK", 0 after "&Cancel" or the close box. OK stores the
// three choices and restarts the sound output when its device changed.
int showAudioSettingsDialog(QWidget* owner);

// The program "Control &Panel" opens: the first sound settings tool found on
// PATH; an empty program when there is none (the button then does nothing).
struct SoundSettingsCommand {
    QString program;
    QStringList arguments;
};
SoundSettingsCommand soundSettingsCommand();
void openSoundSettings();
