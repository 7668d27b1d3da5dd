#pragma once
// Message texts that name files: Qt's line breaking may split a path after
// any '/', which leaves a folder name hard to read and to copy. As rich text
// with each path in a no-wrap span, a path moves to the next line whole.
#include <QString>

// A path starts with '/' or "~/" at the start of a word and runs to the next
// ',', '(', '"', line end or " or ", less a trailing '.' or spaces.
inline QString withWholePaths(const QString& plain) {
    auto escaped = [](QString text) {
        return text.replace('&', QLatin1String("&amp;")).replace('<', QLatin1String("&lt;"))
            .replace('>', QLatin1String("&gt;")).replace('\n', QLatin1String("<br>"));
    };
    QString html;
    qsizetype i = 0, plainFrom = 0;
    while (i < plain.size()) {
        const bool wordStart = i == 0 || plain[i - 1].isSpace() || plain[i - 1] == '"';
        const bool pathStart = plain[i] == '/' || (plain[i] == '~' && i + 1 < plain.size() && plain[i + 1] == '/');
        if (!wordStart || !pathStart) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < plain.size() && !QStringLiteral(",(\"\n").contains(plain[end]) &&
               !plain.mid(end).startsWith(QLatin1String(" or ")))
            ++end;
        while (end > i + 1 && (plain[end - 1] == '.' || plain[end - 1] == ' ')) --end;
        html += escaped(plain.mid(plainFrom, i - plainFrom));
        html += QLatin1String("<span style=\"white-space:nowrap\">") + escaped(plain.mid(i, end - i)) +
                QLatin1String("</span>");
        i = plainFrom = end;
    }
    return html + escaped(plain.mid(plainFrom));
}
