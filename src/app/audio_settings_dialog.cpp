#include "app/audio_settings_dialog.h"

#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

#include <algorithm>

#include "core/audio_path.h"
#include "base/debug_log.h"
#include "record/recording.h"
#include "widgets/dialog_controls.h"
#include "settings/settings.h"

namespace {


QStringList deviceNames(media::Category category) {
    QStringList names;
    findDevice(nullptr, category, [&](const media::Moniker&, const std::string& name, const char*) {
        names << QString::fromStdString(name);
        return std::shared_ptr<media::Filter>{};
    });
    return names;
}

class AudioSettingsDialog : public QDialog {
public:
    explicit AudioSettingsDialog(QWidget* owner) : QDialog(owner) {
        setWindowTitle("Audio Settings");
        setObjectName("audioSettingsDialog");
        DialogUnits du(fontMetrics());
        setFixedSize(du.x(321), du.y(69));

        auto* ok = placeButton(this, du, "&OK", 264, 7, 50, 14, "ctl1");
        ok->setDefault(true);
        auto* cancel = placeButton(this, du, "&Cancel", 264, 23, 50, 14, "ctl2");
        auto* panel = placeButton(this, du, "Control &Panel", 254, 48, 60, 14, "ctl1034");
        output_ = placeDropDown(this, du, 74, 7, 164, "ctl1058");
        source_ = placeDropDown(this, du, 74, 25, 164, "ctl1033");
        format_ = placeDropDown(this, du, 74, 44, 164, "ctl1040");
        format_->setEnabled(false);
        placeLabel(this, du, "Output device", 7, 9, 61, 8);
        placeLabel(this, du, "Recording source", 7, 27, 61, 8);
        placeLabel(this, du, "Format", 7, 46, 60, 8);

        connect(ok, &QPushButton::clicked, this, [this] { confirm(); });
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
        // Without a mixer to open the button would do nothing: say what to install.
        const SoundSettingsCommand mixer = soundSettingsCommand();
        panel->setEnabled(!mixer.program.isEmpty());
        panel->setToolTip(mixer.program.isEmpty()
                              ? QStringLiteral("No sound settings program was found: install pavucontrol "
                                               "(or GNOME's or KDE's sound settings) to use this button.")
                              : QStringLiteral("Opens %1").arg(QFileInfo(mixer.program).fileName()));
        connect(panel, &QPushButton::clicked, this, [] { openSoundSettings(); });
        fill();
    }

private:
    void fill() {
        // The board's own sound first: an empty stored source selects it.
        source_->addItem(QString::fromUtf8(kBoardSoundSource));
        source_->addItems(deviceNames(media::Category::AudioInput));
        source_->addItem("(no sound)");
        source_->setCurrentIndex(0);
        int i = findPrefix(source_, QString::fromStdString(fieldToUtf8(settings.recordingSource)));
        if (i >= 0) source_->setCurrentIndex(i);

        for (const std::string& name : audioOutputDevices()) {
            debugPrintf("%s\n", name.c_str());
            output_->addItem(QString::fromStdString(name));
        }
        output_->addItem("(system default)");
        output_->setCurrentIndex(output_->count() - 1);
        // An empty stored name would match the first device: it means the
        // system default, which is already selected.
        const QString stored = QString::fromStdString(fieldToUtf8(settings.outputDevice));
        if (!stored.isEmpty() && (i = findPrefix(output_, stored)) >= 0) output_->setCurrentIndex(i);

        QStringList formats = deviceNames(media::Category::AudioCompressor);
        std::sort(formats.begin(), formats.end(),
                  [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
        format_->addItems(formats);
        if ((i = findPrefix(format_, QString::fromStdString(fieldToUtf8(settings.audioFormat)))) >= 0)
            format_->setCurrentIndex(i);
    }

    void confirm() {
        utf8ToField(settings.audioFormat, format_->currentText().left(127).toStdString());
        utf8ToField(settings.recordingSource, source_->currentText().left(127).toStdString());
        const std::string output = output_->currentText().left(255).toStdString();
        const std::string stored = fieldToUtf8(settings.outputDevice);
        // No stored name already means the system default: no restart for it.
        const bool same = output == stored || (stored.empty() && output == "(system default)");
        if (!same) {
            utf8ToField(settings.outputDevice, output);
            startAudio();
        }
        accept();
    }

    QComboBox* output_;
    QComboBox* source_;
    QComboBox* format_;
};

}  // namespace

SoundSettingsCommand soundSettingsCommand() {
    // The desktop's mixer, its recording page where it has one.
    static const SoundSettingsCommand candidates[] = {
        {"pavucontrol", {"--tab=2"}},
        {"pavucontrol-qt", {"--tab=2"}},
        {"gnome-control-center", {"sound"}},
        {"systemsettings", {"kcm_pulseaudio"}},
        {"kcmshell5", {"kcm_pulseaudio"}},
    };
    for (const SoundSettingsCommand& c : candidates) {
        QString path = QStandardPaths::findExecutable(c.program);
        if (!path.isEmpty()) return {path, c.arguments};
    }
    return {};
}

void openSoundSettings() {
    SoundSettingsCommand command = soundSettingsCommand();
    if (!command.program.isEmpty()) QProcess::startDetached(command.program, command.arguments);
}

int showAudioSettingsDialog(QWidget* owner) {
    AudioSettingsDialog dialog(owner);
    return dialog.exec() == QDialog::Accepted ? 1 : 0;
}
