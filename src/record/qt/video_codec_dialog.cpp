#include "record/qt/video_codec_dialog.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <algorithm>
#include <cstring>

#include "base/debug_log.h"
#include "record/capture_filter.h"
#include "record/qt/compressor_boxes.h"
#include "record/recording.h"
#include "widgets/dialog_controls.h"
#include "settings/settings.h"

namespace {

constexpr int kFrameRates[3] = {20, 30, 60};

QSlider* placeSlider(QWidget* parent, const DialogUnits& du, int x, int y, int w, int h, const char* name,
                     int maximum) {
    auto* slider = placeControl<QSlider>(parent, du, name, x, y, w, h);
    slider->setOrientation(Qt::Horizontal);
    slider->setRange(0, maximum);
    return slider;
}

QRadioButton* placeRadio(QWidget* parent, const DialogUnits& du, const char* text, int x, int y, int w, int h,
                         const char* name) {
    auto* radio = placeControl<QRadioButton>(parent, du, name, x, y, w, h);
    radio->setText(QString::fromUtf8(text));
    return radio;
}

class VideoCodecDialog : public QDialog {
public:
    explicit VideoCodecDialog(QWidget* owner) : QDialog(owner) {
        setWindowTitle("Video Codec");
        setObjectName("videoCodecDialog");
        DialogUnits du(fontMetrics());
        setFixedSize(du.x(235), du.y(88));

        codecs_ = placeDropDown(this, du, 7, 7, 163, "ctl1002");
        qualityLabel_ = placeLabel(this, du, "Quality", 12, 31, 24, 8, "ctl1039");
        quality_ = placeSlider(this, du, 40, 24, 93, 15, "ctl1036", 100);
        qualityValue_ = placeLabel(this, du, "100", 136, 31, 22, 8, "ctl1038");
        placeLabel(this, du, "FPS", 13, 51, 13, 8, "ctlFps");
        fps_ = placeSlider(this, du, 40, 47, 93, 15, "ctl1044", 2);
        fpsValue_ = placeLabel(this, du, "30", 137, 51, 9, 8, "ctl1045");
        both_ = placeRadio(this, du, "&Both screens", 11, 71, 57, 10, "ctl1052");
        top_ = placeRadio(this, du, "&Top", 83, 71, 28, 10, "ctl1051");
        bottom_ = placeRadio(this, du, "Botto&m", 128, 71, 39, 10, "ctl1050");
        auto* ok = placeButton(this, du, "&OK", 178, 7, 50, 14, "ctl1");
        ok->setDefault(true);
        auto* cancel = placeButton(this, du, "&Cancel", 178, 23, 50, 14, "ctl2");
        configure_ = placeButton(this, du, "Con&figure...", 178, 39, 50, 14, "ctl1034");
        about_ = placeButton(this, du, "&About...", 178, 55, 50, 14, "ctl1029");

        connect(ok, &QPushButton::clicked, this, [this] { confirm(); });
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
        connect(configure_, &QPushButton::clicked, this, [this] {
            if (compressor_) showCompressorConfigBox(this, *compressor_);
        });
        connect(about_, &QPushButton::clicked, this, [this] {
            if (compressor_) showCompressorAboutBox(this, *compressor_);
        });
        connect(quality_, &QSlider::valueChanged, this, [this](int pos) {
            qualityValue_->setText(QString::number(pos));
            setQualityEnabled(true);
        });
        connect(fps_, &QSlider::valueChanged, this, [this](int pos) {
            // Stored at once, whichever button closes the dialog.
            settings.recordFps = kFrameRates[std::clamp(pos, 0, 2)];
            fpsValue_->setText(QString::number(settings.recordFps));
        });

        open();
        connect(codecs_, &QComboBox::currentIndexChanged, this, [this] { evaluate(); });
    }

    ~VideoCodecDialog() override {
        // Keep the block and its size in step whatever happened.
        if (settings.videoCodecSettingsSize == 0) videoCodecSettings.clear();
        if (videoCodecSettings.empty()) settings.videoCodecSettingsSize = 0;
    }

private:
    void open() {
        source_ = DSFilter::CreateInstance();  // prints the source's capabilities

        const int* found = std::find(std::begin(kFrameRates), std::end(kFrameRates), settings.recordFps & 0xFF);
        int index = found == std::end(kFrameRates) ? 1 : static_cast<int>(found - kFrameRates);
        settings.recordFps = kFrameRates[index];
        fpsValue_->setText(QString::number(settings.recordFps));
        fps_->blockSignals(true);
        fps_->setValue(index);
        fps_->blockSignals(false);

        switch (settings.recordScreens) {
            case 0: both_->setChecked(true); break;
            case 1: top_->setChecked(true); break;
            case 2: bottom_->setChecked(true); break;
            default: break;
        }

        QStringList names;
        findDevice(nullptr, media::Category::VideoCompressor,
                   [&](const media::Moniker&, const std::string& name, const char*) {
                       names << QString::fromStdString(name);
                       return std::shared_ptr<media::Filter>{};
                   });
        // A sorted list, as the user reads it.
        std::sort(names.begin(), names.end(),
                  [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
        codecs_->addItems(names);
        codecs_->setCurrentIndex(findPrefix(codecs_, QString::fromStdString(fieldToUtf8(settings.videoCodec))));
        evaluate();
    }

    void setQualityEnabled(bool on) {
        quality_->setEnabled(on);
        qualityValue_->setEnabled(on);
        qualityLabel_->setEnabled(on);
    }

    void evaluate() {
        compressor_.reset();
        const QString name = codecs_->currentText().left(127);
        if (!name.isEmpty()) compressor_ = getFilter(name.toStdString());

        double quality = 1.0;
        bool canQuality = false, canConfigure = false, canAbout = false;
        if (compressor_) {
            canConfigure = !compressor_->options().empty();
            canAbout = true;
            double defaultQuality = 1.0;
            int32_t caps = 0;
            if (compressor_->GetInfo(&defaultQuality, &caps) == S_OK && (caps & media::CompressionCaps_CanQuality)) {
                canQuality = true;
                if (compressor_->get_Quality(&quality) != S_OK || quality < 0) quality = defaultQuality;
            }
        }
        configure_->setEnabled(canConfigure);
        about_->setEnabled(canAbout);

        // Truncated, but a stored pos / 100 such as 0.29 (28.999... x 100)
        // must come back as the same position.
        int percent = static_cast<int>(quality * 100 + 1e-6);
        quality_->blockSignals(true);
        quality_->setValue(percent);
        quality_->blockSignals(false);
        qualityValue_->setText(canQuality ? QString::number(percent) : QString());
        setQualityEnabled(canQuality);
    }

    void confirm() {
        if (compressor_) {
            utf8ToField(settings.videoCodec, codecs_->currentText().left(127).toStdString());
            // Stored even when the slider is disabled: such a compressor stores 1.0.
            settings.videoQuality = quality_->value() / 100.0;
            videoCodecSettings.clear();
            settings.videoCodecSettingsSize = 0;
            int32_t size = 0;
            compressor_->GetState(nullptr, &size);
            std::vector<uint8_t> block(static_cast<size_t>(std::max(size, 0)));
            if (size > 0 && compressor_->GetState(block.data(), &size) == S_OK) {
                uint32_t first = 0;
                std::memcpy(&first, block.data(), std::min<size_t>(4, block.size()));
                debugPrintf("GetState(%d)=%08X..\n", size, first);
                block.resize(static_cast<size_t>(size));
                videoCodecSettings = std::move(block);
                settings.videoCodecSettingsSize = size;
            } else {
                debugPrintf("pCompressDialogs::GetState failed\n");
            }
        }
        settings.recordScreens = top_->isChecked() ? 1 : bottom_->isChecked() ? 2 : 0;
        accept();
    }

    QComboBox* codecs_;
    QLabel* qualityLabel_;
    QSlider* quality_;
    QLabel* qualityValue_;
    QSlider* fps_;
    QLabel* fpsValue_;
    QRadioButton* both_;
    QRadioButton* top_;
    QRadioButton* bottom_;
    QPushButton* configure_;
    QPushButton* about_;
    std::shared_ptr<media::VideoCompressor> compressor_;
    std::shared_ptr<DSFilter> source_;
};

}  // namespace

int showVideoCodecDialog(QWidget* owner) {
    VideoCodecDialog dialog(owner);
    return dialog.exec() == QDialog::Accepted ? 1 : 0;
}
