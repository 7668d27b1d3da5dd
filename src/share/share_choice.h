#pragma once
// Whether the picture is shared as a camera, and at what size: kept in a
// small file of its own beside the settings file, whose layout stays as it
// is. Lines of "key=value"; unknown keys and bad values are ignored.
#include <string>

struct ShareChoice {
    bool on = false;
    int scale = 1;  // 1, 2 or 3
};

// The file's path ("" without a config folder).
std::string shareChoicePath();
// What the file says; defaults when there is none.
ShareChoice loadShareChoice();
// Writes it beside the file and renames it over; false when it could not.
bool saveShareChoice(const ShareChoice& choice);
