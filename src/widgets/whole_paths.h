#pragma once
// Message texts that name files: Qt's line breaking may split a path after
// any '/' or '-' and at its spaces, which leaves a folder name hard to read
// and to copy. Here a path's spaces become no-break spaces and a word joiner
// follows each '/' and '-', so the path moves to the next line whole.
#include <QString>

// A path starts with '/' or "~/" at the start of a word and runs to the next
// ',', '(', '"', line end or " or ", less a trailing '.' or spaces.
inline QString withWholePaths(const QString& plain) {
    constexpr QChar kWordJoiner(0x2060);
    constexpr QChar kNoBreakSpace(0x00A0);
    QString text;
    qsizetype i = 0;
    while (i < plain.size()) {
        const bool wordStart = i == 0 || plain[i - 1].isSpace() || plain[i - 1] == '"';
        const bool pathStart = plain[i] == '/' || (plain[i] == '~' && i + 1 < plain.size() && plain[i + 1] == '/');
        if (!wordStart || !pathStart) {
            text += plain[i++];
            continue;
        }
        qsizetype end = i;
        while (end < plain.size() && !QStringLiteral(",(\"\n").contains(plain[end]) &&
               !plain.mid(end).startsWith(QLatin1String(" or ")))
            ++end;
        while (end > i + 1 && (plain[end - 1] == '.' || plain[end - 1] == ' ')) --end;
        for (; i < end; ++i) {
            const QChar c = plain[i];
            text += c == ' ' ? kNoBreakSpace : c;
            if ((c == '/' || c == '-') && i + 1 < end) text += kWordJoiner;
        }
    }
    return text;
}
