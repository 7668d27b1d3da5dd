#pragma once
// Dialog units: the control window's layout is given in units of a quarter
// of the font's average character width and an eighth of its height, so it
// scales with the font the way dialog templates do.
#include <QFontMetrics>
#include <QRect>

struct DialogUnits {
    int charWidth;
    int charHeight;

    explicit DialogUnits(const QFontMetrics& metrics)
        // The average over the 52 letters, rounded as dialog templates round it.
        : charWidth((metrics.horizontalAdvance(QStringLiteral(
                         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 26 + 1) / 2),
          charHeight(metrics.height()) {}

    int x(int units) const { return units * charWidth / 4; }
    int y(int units) const { return units * charHeight / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }
};
