// The settings record: defaults, the stored copy's checks, load and save.
#include "settings/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/debug_log.h"
#include "settings/settings_paths.h"

Settings settings;
std::vector<uint8_t> videoCodecSettings;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The desktop (or home) folder with its '/', or "" when it has no room in the field.
std::string defaultOutputFolder() {
    std::string folder = desktopFolder();
    if (folder.empty()) folder = homeFolder();
    if (folder.empty()) return {};
    if (folder.back() != '/') folder += '/';
    char16_t field[260];
    utf8ToField(field, folder);
    return fieldToUtf8(field) == folder ? folder : std::string();
}

void setDefaults(Settings& s) {
    std::memset(&s, 0, sizeof s);
    utf8ToField(s.outputFolder, defaultOutputFolder());
    s.magic = kSettingsMagic;
    s.displayType = 1;
    s.splitWindows = 0;
    s.overscanOn = 0;
    s.overscan = 0.04f;
    s.recordFps = 30;
    s.volume = 75;
    s.videoQuality = 0.85;
    utf8ToField(s.videoCodec, "Microsoft Video 1");
    utf8ToField(s.audioFormat, "PCM");
    utf8ToField(s.outputDevice, "(system default)");
}

// The checks a stored record must pass, in this order. The comparisons are
// written so that a NaN fails them; display types stop at the table's end.
bool acceptable(const Settings& s) {
    if (s.magic != kSettingsMagic) return false;
    if (s.displayType == 0 || s.displayType > 7) return false;
    if (!(s.videoQuality >= 0.0 && s.videoQuality <= 1.0)) return false;
    if (s.recordScreens > 2) return false;
    if (!(s.overscan >= 0.0 && s.overscan <= 0.08)) return false;
    return true;
}

// A stored string that fills its field without a NUL ends at the field's end.
template <size_t N>
void terminate(char16_t (&field)[N]) {
    for (char16_t unit : field)
        if (unit == 0) return;
    field[N - 1] = 0;
}

void terminateStrings(Settings& s) {
    terminate(s.outputFolder);
    terminate(s.recordingSource);
    terminate(s.audioFormat);
    terminate(s.outputDevice);
    terminate(s.videoCodec);
}

// Reads the codec state that follows the record; on any shortfall the state
// is dropped and the size becomes 0.
void readCodecState(std::FILE* file) {
    videoCodecSettings.clear();
    const int32_t size = settings.videoCodecSettingsSize;
    settings.videoCodecSettingsSize = 0;
    if (size <= 0) return;
    // Refuse a declared size the file cannot hold before allocating for it.
    struct stat info;
    if (::fstat(::fileno(file), &info) != 0 || info.st_size - static_cast<off_t>(kSettingsSize) < size)
        return;
    try {
        videoCodecSettings.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        videoCodecSettings = {};
        return;
    }
    if (std::fread(videoCodecSettings.data(), 1, videoCodecSettings.size(), file) != videoCodecSettings.size()) {
        videoCodecSettings = {};
        return;
    }
    settings.videoCodecSettingsSize = size;
}

void loadStoredRecord() {
    const std::string folder = settingsFolder();
    if (folder.empty() || !makeFolders(folder)) return;
    File file(std::fopen(settingsFilePath().c_str(), "rb"));
    if (!file) return;
    Settings stored;
    if (std::fread(&stored, 1, sizeof stored, file.get()) != sizeof stored) return;
    if (!acceptable(stored)) return;
    settings = stored;
    settings.codecStateSlot = 0;
    // Scaling modes are 0..2; an unknown one is bilinear, the rest is kept.
    if (settings.pointScaling > 2) settings.pointScaling = 0;
    terminateStrings(settings);
    readCodecState(file.get());
    debugPrintf("videoCodecSettingsSize=%d\n", settings.videoCodecSettingsSize);
}

}  // namespace

void loadSettings() {
    setDefaults(settings);
    videoCodecSettings = {};
    loadStoredRecord();
    // Snapshots and recordings are created by bare names in the current directory.
    const std::string folder = fieldToUtf8(settings.outputFolder);
    if (::chdir(folder.c_str()) != 0) std::memset(settings.outputFolder, 0, sizeof settings.outputFolder);
}

void saveSettings() {
    // Never write more codec state than the block holds.
    size_t blockSize = 0;
    if (settings.videoCodecSettingsSize > 0)
        blockSize = std::min(static_cast<size_t>(settings.videoCodecSettingsSize), videoCodecSettings.size());
    settings.videoCodecSettingsSize = static_cast<int32_t>(blockSize);
    settings.codecStateSlot = 0;

    const std::string folder = settingsFolder();
    if (!folder.empty() && makeFolders(folder)) {
        // Written beside the file and renamed over it only when complete, so a
        // full disk or a crash mid-save keeps the previous settings.
        const std::string path = settingsFilePath();
        const std::string temporary = path + ".new";
        bool written = false;
        if (std::FILE* file = std::fopen(temporary.c_str(), "wb")) {
            written = std::fwrite(&settings, 1, sizeof settings, file) == sizeof settings;
            if (written && blockSize > 0)
                written = std::fwrite(videoCodecSettings.data(), 1, blockSize, file) == blockSize;
            written = (std::fclose(file) == 0) && written;
        }
        if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) std::remove(temporary.c_str());
    }
    videoCodecSettings = {};
    settings.videoCodecSettingsSize = 0;
}
