#pragma once
// The "Audio Settings" dialog: output device, recording source, format.
class QWidget;

// Modal. 1 after "&OK", 0 after "&Cancel" or the close box.
int showAudioSettingsDialog(QWidget* owner);
