#pragma once
// Placing a dialog's controls at their rectangles in dialog units, named
// "ctl<id>" so tests and the layout tables speak of the same control.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <algorithm>

#include "widgets/dialog_units.h"

template <typename Control>
Control* placeControl(QWidget* parent, const DialogUnits& units, const char* name, int x, int y, int w,
                      int h) {
    auto* control = new Control(parent);
    if (name) control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(units.rect(x, y, w, h));
    return control;
}

// A push button that is never the default just because it has the focus.
inline QPushButton* placeButton(QWidget* parent, const DialogUnits& units, const char* text, int x, int y,
                                int w, int h, const char* name) {
    auto* button = placeControl<QPushButton>(parent, units, name, x, y, w, h);
    button->setText(QString::fromUtf8(text));
    button->setAutoDefault(false);
    return button;
}

inline QLabel* placeLabel(QWidget* parent, const DialogUnits& units, const char* text, int x, int y, int w,
                          int h, const char* name = nullptr) {
    auto* label = placeControl<QLabel>(parent, units, name, x, y, w, h);
    label->setText(QString::fromUtf8(text));
    return label;
}

// A drop-down list: its closed height is the style's, never less.
inline QComboBox* placeDropDown(QWidget* parent, const DialogUnits& units, int x, int y, int w,
                                const char* name) {
    auto* combo = placeControl<QComboBox>(parent, units, name, x, y, w, 12);
    combo->resize(combo->width(), std::max(combo->height(), combo->sizeHint().height()));
    return combo;
}

// The first item that begins with text, letter case ignored; -1 when none does.
inline int findPrefix(const QComboBox* combo, const QString& text) {
    for (int i = 0; i < combo->count(); ++i)
        if (combo->itemText(i).startsWith(text, Qt::CaseInsensitive)) return i;
    return -1;
}
