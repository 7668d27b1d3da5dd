#include "share/share_choice.h"

#include <cstdio>
#include <cstring>

#include "settings/settings.h"
#include "settings/settings_paths.h"
#include "share/shared_picture.h"

std::string shareChoicePath() {
    const std::string folder = settingsFolder();
    return folder.empty() ? std::string() : folder + "camera-share";
}

ShareChoice loadShareChoice() {
    ShareChoice choice;
    const std::string path = shareChoicePath();
    std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    if (!file) return choice;
    char line[128];
    while (std::fgets(line, sizeof line, file)) {
        int value = 0;
        char end = 0;
        if (std::sscanf(line, "on=%d%c", &value, &end) >= 1 && (value == 0 || value == 1))
            choice.on = value == 1;
        else if (std::sscanf(line, "scale=%d%c", &value, &end) >= 1 && value == clampShareScale(value))
            choice.scale = value;
    }
    std::fclose(file);
    return choice;
}

bool saveShareChoice(const ShareChoice& choice) {
    const std::string folder = settingsFolder();
    if (folder.empty() || !makeFolders(folder)) return false;
    const std::string path = shareChoicePath();
    const std::string temporary = path + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) return false;
    const bool written = std::fprintf(file, "on=%d\nscale=%d\n", choice.on ? 1 : 0, clampShareScale(choice.scale)) > 0;
    if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
