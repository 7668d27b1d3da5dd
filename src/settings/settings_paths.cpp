#include "settings/settings_paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "settings/settings.h"

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool isFolder(const std::string& path) {
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The value of XDG_DESKTOP_DIR in user-dirs.dirs: a quoted absolute path or
// one starting with $HOME, with shell-style backslash escapes.
std::string userDirsDesktop(const std::string& home) {
    const std::string config = xdgBaseFolder(XdgBase::Config);
    if (config.empty()) return {};
    std::ifstream file(config + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DESKTOP_DIR=";
    while (std::getline(file, line)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        std::string value = line.substr(start + key.size());
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
            value.pop_back();
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') return {};
        std::string path;
        for (size_t i = 1; i + 1 < value.size(); ++i) {
            if (value[i] == '\\' && i + 2 < value.size()) ++i;
            path += value[i];
        }
        if (path.rfind("$HOME", 0) == 0 && (path.size() == 5 || path[5] == '/')) {
            if (home.empty()) return {};
            path = home + path.substr(5);
        }
        return path.front() == '/' ? withoutTrailingSlashes(path) : std::string();
    }
    return {};
}

}  // namespace

std::string homeFolder() {
    std::string home = environment("HOME");
    if (home.empty()) {
        if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) home = entry->pw_dir;
    }
    return home.empty() ? home : withoutTrailingSlashes(home);
}

std::string xdgBaseFolder(XdgBase base) {
    struct Base {
        const char* variable;
        const char* underHome;
    };
    static constexpr Base kBases[] = {
        {"XDG_CONFIG_HOME", "/.config"},
        {"XDG_DATA_HOME", "/.local/share"},
        {"XDG_STATE_HOME", "/.local/state"},
    };
    const Base& b = kBases[static_cast<int>(base)];
    std::string folder = environment(b.variable);
    if (!folder.empty() && folder.front() == '/') return withoutTrailingSlashes(folder);
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + b.underHome;
}

std::string appFolder(XdgBase base) {
    const std::string folder = xdgBaseFolder(base);
    return folder.empty() ? std::string() : folder + "/" + kAppFolderName + "/";
}

std::string desktopFolder() {
    const std::string home = homeFolder();
    std::string desktop = userDirsDesktop(home);
    if (desktop.empty() && !home.empty()) desktop = home + "/Desktop";
    return isFolder(desktop) ? desktop : std::string();
}

bool makeFolders(const std::string& path) {
    if (path.empty()) return false;
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    return isFolder(path);
}

std::string settingsFolder() { return appFolder(XdgBase::Config); }

std::string settingsFilePath() {
    const std::string folder = settingsFolder();
    return folder.empty() ? std::string() : folder + "kestrel_capture.cfg";
}
