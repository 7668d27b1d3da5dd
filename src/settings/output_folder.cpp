// The output folder (kept as the current directory) and numbered file names.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "settings/settings.h"

uint32_t snapshotCounter = 0;
uint32_t recordingCounter = 0;

namespace {
// Names are searched only below this number; past it the folder counts as full.
constexpr uint32_t kNumberLimit = 100000;

bool nameTaken(const char* name) {
    struct stat info;
    // lstat: a dangling link is taken too, since creating the file would follow it.
    return ::lstat(name, &info) == 0;
}
}  // namespace

bool applyOutputFolder(std::string_view folderUtf8) {
    if (folderUtf8.empty()) return false;
    std::string folder(folderUtf8);
    if (folder.back() != '/') folder += '/';
    char16_t field[260];
    utf8ToField(field, folder);
    // A folder the field cannot hold whole is refused rather than cut short.
    if (fieldToUtf8(field) != folder) return false;
    std::memcpy(settings.outputFolder, field, sizeof field);
    if (::chdir(folder.c_str()) != 0) {
        // Like a folder that vanished later: names stay relative to wherever we are.
    }
    snapshotCounter = 0;
    recordingCounter = 0;
    return true;
}

bool makeNumberedName(uint32_t& counter, const char* extension, char name[16]) {
    for (;;) {
        const uint32_t n = counter++;
        const int length = std::snprintf(name, 16, "%05u%s", n, extension);
        if (length < 0 || length >= 16) break;
        if (!nameTaken(name)) return true;
        if (counter >= kNumberLimit) break;
    }
    name[0] = 0;
    return false;
}
