#include "record/qt/compressor_boxes.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QMessageBox>
#include <QSpinBox>
#include <QVBoxLayout>

int showCompressorConfigBox(QWidget* owner, media::VideoCompressor& compressor) {
    QDialog box(owner);
    box.setObjectName("compressorConfigBox");
    box.setWindowTitle(QString::fromStdString(compressor.friendlyName()));
    auto* layout = new QVBoxLayout(&box);
    auto* form = new QFormLayout;
    layout->addLayout(form);

    const std::vector<media::CompressorOption> options = compressor.options();
    std::vector<QWidget*> editors;
    for (const media::CompressorOption& o : options) {
        QWidget* editor;
        if (!o.choices.empty()) {
            auto* combo = new QComboBox(&box);
            for (const std::string& c : o.choices) combo->addItem(QString::fromStdString(c));
            combo->setCurrentText(QString::fromStdString(o.value));
            editor = combo;
        } else {
            auto* spin = new QSpinBox(&box);
            spin->setRange(o.minValue, o.maxValue);
            spin->setValue(QString::fromStdString(o.value).toInt());
            editor = spin;
        }
        editor->setObjectName(QString::fromStdString("option_" + o.key));
        form->addRow(QString::fromStdString(o.label), editor);
        editors.push_back(editor);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &box);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);

    if (box.exec() != QDialog::Accepted) return 0;
    for (size_t i = 0; i < options.size(); ++i) {
        QString value;
        if (auto* combo = qobject_cast<QComboBox*>(editors[i]))
            value = combo->currentText();
        else
            value = QString::number(static_cast<QSpinBox*>(editors[i])->value());
        compressor.setOption(options[i].key, value.toStdString());
    }
    return 1;
}

void showCompressorAboutBox(QWidget* owner, media::VideoCompressor& compressor) {
    QMessageBox::about(owner, QString::fromStdString(compressor.friendlyName()),
                       QString::fromStdString(compressor.aboutText()));
}
