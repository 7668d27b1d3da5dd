// The Video Codec and Audio Settings dialogs, driven through their controls.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>
#include <QtTest>

#include <QTemporaryDir>

#include <filesystem>
#include <functional>

#include "record/qt/video_codec_dialog.h"
#include "record/recording.h"
#include "support/debug_capture.h"
#include "app/audio_settings_dialog.h"
#include "settings/settings.h"

namespace {

// Runs body on the modal dialog once it is up; body closes it.
int withDialog(int (*show)(QWidget*), const std::function<void(QDialog*)>& body) {
    QTimer::singleShot(0, [body] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            qWarning("no modal dialog");
            return;
        }
        body(dialog);
    });
    return show(nullptr);
}

template <typename T>
T* child(QDialog* d, const char* name) {
    T* w = d->findChild<T*>(name);
    if (!w) qFatal("control %s missing", name);
    return w;
}

void click(QDialog* d, const char* name) { child<QPushButton>(d, name)->click(); }

}  // namespace

class RecordingDialogsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        utf8ToField(settings.videoCodec, "Microsoft Video 1");
        settings.videoQuality = 0.85;
        settings.recordFps = 30;
        settings.recordScreens = 0;
        settings.videoCodecSettingsSize = 0;
        videoCodecSettings.clear();
        utf8ToField(settings.recordingSource, "");
        utf8ToField(settings.outputDevice, "");
        utf8ToField(settings.audioFormat, "PCM");
    }

    void unknownFrameRateBecomes30EvenOnCancel() {
        settings.recordFps = 25;
        int result = withDialog(showVideoCodecDialog, [](QDialog* d) {
            QCOMPARE(child<QLabel>(d, "ctl1045")->text(), QString("30"));
            QCOMPARE(child<QSlider>(d, "ctl1044")->value(), 1);
            d->close();  // the close box is Cancel
        });
        QCOMPARE(result, 0);
        QCOMPARE(settings.recordFps, 30);
        QCOMPARE(fieldToUtf8(settings.videoCodec), std::string("Microsoft Video 1"));
    }

    void frameRateIsStoredOnMoveAndNothingElseOnCancel() {
        withDialog(showVideoCodecDialog, [](QDialog* d) {
            child<QSlider>(d, "ctl1044")->setValue(2);
            QCOMPARE(child<QLabel>(d, "ctl1045")->text(), QString("60"));
            child<QRadioButton>(d, "ctl1050")->setChecked(true);
            click(d, "ctl2");
        });
        QCOMPARE(settings.recordFps, 60);
        QCOMPARE(settings.recordScreens, 0u);
    }

    // The default compressor shows the saved quality, and what OK stores
    // (quality and state block) comes back from the settings file.
    void defaultCompressorShowsItsQualityAndItsStateSurvivesTheFile() {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        loadSettings();  // the defaults: no file yet
        const std::string saved = "KCS1\nencoder=msvideo1\nkeyint_min=30\n";
        videoCodecSettings.assign(saved.begin(), saved.end());
        settings.videoCodecSettingsSize = static_cast<int32_t>(saved.size());
        int result = withDialog(showVideoCodecDialog, [](QDialog* d) {
            QCOMPARE(child<QComboBox>(d, "ctl1002")->currentText(), QString("Microsoft Video 1"));
            auto* slider = child<QSlider>(d, "ctl1036");
            QVERIFY(slider->isEnabled());
            QVERIFY(child<QLabel>(d, "ctl1039")->isEnabled());
            QCOMPARE(slider->value(), 85);
            QCOMPARE(child<QLabel>(d, "ctl1038")->text(), QString("85"));
            QVERIFY(child<QPushButton>(d, "ctl1034")->isEnabled());  // it has options
            QVERIFY(child<QPushButton>(d, "ctl1029")->isEnabled());
            slider->setValue(70);
            click(d, "ctl1");
        });
        QCOMPARE(result, 1);
        QCOMPARE(settings.videoQuality, 0.70);
        // Shown is stored: OK without a move keeps what the trackbar shows.
        withDialog(showVideoCodecDialog, [](QDialog* d) {
            QCOMPARE(child<QSlider>(d, "ctl1036")->value(), 70);
            click(d, "ctl1");
        });
        QCOMPARE(settings.videoQuality, 0.70);
        // The compressor took the saved block and handed the same one back.
        QCOMPARE(std::string(videoCodecSettings.begin(), videoCodecSettings.end()), saved);

        saveSettings();
        loadSettings();
        QCOMPARE(settings.videoQuality, 0.70);
        QCOMPARE(std::string(videoCodecSettings.begin(), videoCodecSettings.end()), saved);
        auto compressor = getFilter("Microsoft Video 1");
        QVERIFY(compressor);
        double quality = 0;
        QCOMPARE(compressor->get_Quality(&quality), S_OK);
        QCOMPARE(quality, 0.70);
        QCOMPARE(compressor->options().at(0).value, std::string("30"));
        qunsetenv("XDG_CONFIG_HOME");
    }

    void compressorWithoutQualityShowsDisabled100AndStoresOne() {
        settings.videoQuality = 0.5;
        int result = withDialog(showVideoCodecDialog, [](QDialog* d) {
            auto* combo = child<QComboBox>(d, "ctl1002");
            combo->setCurrentIndex(combo->findText("FFV1 lossless"));
            auto* slider = child<QSlider>(d, "ctl1036");
            QVERIFY(!slider->isEnabled());
            QCOMPARE(slider->value(), 100);
            QCOMPARE(child<QLabel>(d, "ctl1038")->text(), QString());
            click(d, "ctl1");
        });
        QCOMPARE(result, 1);
        QCOMPARE(fieldToUtf8(settings.videoCodec), std::string("FFV1 lossless"));
        QCOMPARE(settings.videoQuality, 1.0);
        QVERIFY(settings.videoCodecSettingsSize > 0);
        QCOMPARE(static_cast<size_t>(settings.videoCodecSettingsSize), videoCodecSettings.size());
    }

    void savedCompressorShowsItsQualityAndOkStoresTheChoice() {
        utf8ToField(settings.videoCodec, "Motion JPEG");
        settings.videoQuality = 0.29;  // 28.999... when multiplied by 100
        int result = withDialog(showVideoCodecDialog, [](QDialog* d) {
            QCOMPARE(child<QComboBox>(d, "ctl1002")->currentText(), QString("Motion JPEG"));
            auto* slider = child<QSlider>(d, "ctl1036");
            QVERIFY(slider->isEnabled());
            QCOMPARE(slider->value(), 29);
            QCOMPARE(child<QLabel>(d, "ctl1038")->text(), QString("29"));
            slider->setValue(40);
            QCOMPARE(child<QLabel>(d, "ctl1038")->text(), QString("40"));
            child<QRadioButton>(d, "ctl1051")->setChecked(true);
            click(d, "ctl1");
        });
        QCOMPARE(result, 1);
        QCOMPARE(fieldToUtf8(settings.videoCodec), std::string("Motion JPEG"));
        QCOMPARE(settings.videoQuality, 0.40);
        QCOMPARE(settings.recordScreens, 1u);
        QVERIFY(videoCodecSettings.size() > 4);
        QCOMPARE(std::string(videoCodecSettings.begin(), videoCodecSettings.begin() + 4), std::string("KCS1"));
    }

    void otherCompressorShowsItsOwnQuality() {
        utf8ToField(settings.videoCodec, "Microsoft Video 1");
        settings.videoQuality = 0.2;
        withDialog(showVideoCodecDialog, [](QDialog* d) {
            auto* combo = child<QComboBox>(d, "ctl1002");
            combo->setCurrentIndex(combo->findText("Motion JPEG"));
            // Not the saved 0.2: the compressor's own current quality.
            QVERIFY(child<QSlider>(d, "ctl1036")->value() != 20);
            QVERIFY(child<QSlider>(d, "ctl1036")->isEnabled());
            child<QRadioButton>(d, "ctl1050")->setChecked(true);
            click(d, "ctl1");
        });
        QCOMPARE(fieldToUtf8(settings.videoCodec), std::string("Motion JPEG"));
        QCOMPARE(settings.recordScreens, 2u);
    }

    void compressorListIsSorted() {
        withDialog(showVideoCodecDialog, [](QDialog* d) {
            auto* combo = child<QComboBox>(d, "ctl1002");
            QVERIFY(combo->count() >= 3);
            for (int i = 1; i < combo->count(); ++i)
                QVERIFY(combo->itemText(i - 1).compare(combo->itemText(i), Qt::CaseInsensitive) <= 0);
            click(d, "ctl2");
        });
    }

    // A recording whose compressor is missing asks through the dialog.
    void missingCompressorOpensTheDialogFromTheRecording() {
        QTemporaryDir dir;
        const auto previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path().toStdString());
        utf8ToField(settings.recordingSource, "(no sound)");
        utf8ToField(settings.videoCodec, "Gone Codec");
        setCodecDialogHook([] { return showVideoCodecDialog(nullptr); });

        DebugCapture debug;
        QTimer::singleShot(0, [] {
            auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(d);
            // Nothing begins with the stored name: no compressor is chosen.
            QCOMPARE(child<QComboBox>(d, "ctl1002")->currentIndex(), -1);
            QVERIFY(!child<QPushButton>(d, "ctl1034")->isEnabled());
            click(d, "ctl2");
        });
        QVERIFY(!startRecordingGraph("00000.avi"));
        QVERIFY(debug.text().find("getVideoCompressor() failed\n") != std::string::npos);

        QTimer::singleShot(0, [] {
            auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(d);
            auto* combo = child<QComboBox>(d, "ctl1002");
            combo->setCurrentIndex(combo->findText("Motion JPEG"));
            click(d, "ctl1");
        });
        QVERIFY(startRecordingGraph("00001.avi"));
        QVERIFY(recordingRunning());
        stopRecordingGraph();
        QCOMPARE(fieldToUtf8(settings.videoCodec), std::string("Motion JPEG"));
        QVERIFY(std::filesystem::exists("00001.avi"));
        setCodecDialogHook(nullptr);
        std::filesystem::current_path(previous);
    }

    void audioSettingsOkWithoutChangesKeepsTheOutputDevice() {
        int result = withDialog(showAudioSettingsDialog, [](QDialog* d) {
            auto* output = child<QComboBox>(d, "ctl1058");
            QCOMPARE(output->currentText(), QString("(system default)"));
            auto* source = child<QComboBox>(d, "ctl1033");
            QCOMPARE(source->itemText(source->count() - 1), QString("(no sound)"));
            // The board's own sound first, selected when nothing is stored.
            QCOMPARE(source->itemText(0), QString("Kestrel board sound"));
            QCOMPARE(source->currentIndex(), 0);
            auto* format = child<QComboBox>(d, "ctl1040");
            QVERIFY(!format->isEnabled());
            QCOMPARE(format->currentText(), QString("PCM"));
            click(d, "ctl1");
        });
        QCOMPARE(result, 1);
        QCOMPARE(fieldToUtf8(settings.audioFormat), std::string("PCM"));
        QCOMPARE(fieldToUtf8(settings.outputDevice), std::string());
    }

    void audioSettingsSelectsTheStoredSourceByPrefixAndCancelStoresNothing() {
        utf8ToField(settings.recordingSource, "(NO S");
        utf8ToField(settings.outputDevice, "(system default)");
        int result = withDialog(showAudioSettingsDialog, [](QDialog* d) {
            QCOMPARE(child<QComboBox>(d, "ctl1033")->currentText(), QString("(no sound)"));
            child<QComboBox>(d, "ctl1033")->setCurrentIndex(0);
            click(d, "ctl2");
        });
        QCOMPARE(result, 0);
        QCOMPARE(fieldToUtf8(settings.recordingSource), std::string("(NO S"));

        withDialog(showAudioSettingsDialog, [](QDialog* d) {
            auto* source = child<QComboBox>(d, "ctl1033");
            source->setCurrentIndex(source->count() - 1);
            click(d, "ctl1");
        });
        QCOMPARE(fieldToUtf8(settings.recordingSource), std::string("(no sound)"));
    }
};

QTEST_MAIN(RecordingDialogsTest)
#include "test_recording_dialogs.moc"
