// libFuzzer harness for the settings file: each input is written as the
// settings file, loaded, saved and loaded again. What must hold:
//  - the loaded record is the defaults, or (when the stored record passes its
//    checks) the stored record with its strings cut to end in a NUL and its
//    codec-state size what the file really holds;
//  - the codec state block matches the declared size and the file's bytes;
//  - the saved file is exactly the record followed by the block;
//  - loading the saved file gives the same record and block again.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace {

Settings defaults;
std::string settingsPath;
int startFolder = -1;  // the loader enters the output folder; the fuzzer's paths are relative

void load() {
    loadSettings();
    if (::fchdir(startFolder) != 0) std::abort();
}

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "settings fuzz: %s\n", what);
    std::abort();
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        uint8_t chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
        std::fclose(file);
    }
    return bytes;
}

template <size_t N>
bool terminated(const char16_t (&field)[N]) {
    for (char16_t unit : field)
        if (unit == 0) return true;
    return false;
}

template <size_t N>
void cut(char16_t (&field)[N]) {
    if (!terminated(field)) field[N - 1] = 0;
}

// What a stored record must satisfy to be taken (a NaN satisfies nothing).
bool passesChecks(const Settings& s) {
    return s.magic == kSettingsMagic && s.displayType >= 1 && s.displayType <= 7 && s.videoQuality >= 0.0 &&
           s.videoQuality <= 1.0 && s.recordScreens <= 2 && s.overscan >= 0.0f && s.overscan <= 0.08;
}

bool sameRecord(const Settings& a, const Settings& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void checkInvariants() {
    check(terminated(settings.outputFolder) && terminated(settings.recordingSource) &&
              terminated(settings.audioFormat) && terminated(settings.outputDevice) &&
              terminated(settings.videoCodec),
          "a string field without its NUL");
    check(settings.videoCodecSettingsSize >= 0 &&
              videoCodecSettings.size() == static_cast<size_t>(settings.videoCodecSettingsSize),
          "codec state size differs from its block");
    check(settings.codecStateSlot == 0, "codec state slot carries a value");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char base[] = "/tmp/kestrel-fuzz-settings.XXXXXX";
    if (!mkdtemp(base)) std::abort();
    const std::string home = std::string(base) + "/home";
    const std::string desktop = home + "/Desktop";
    if (::mkdir(home.c_str(), 0700) != 0 || ::mkdir(desktop.c_str(), 0700) != 0) std::abort();
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (std::string(base) + "/config").c_str(), 1);
    startFolder = ::open(".", O_RDONLY | O_DIRECTORY);
    if (startFolder < 0) std::abort();
    load();  // no file yet: the defaults
    defaults = settings;
    videoCodecSettings = {};
    settingsPath = settingsFilePath();
    check(!settingsPath.empty(), "no settings path");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!writeFile(settingsPath, data, size)) std::abort();

    // First load.
    load();
    checkInvariants();
    const Settings loaded = settings;
    const std::vector<uint8_t> block = videoCodecSettings;

    Settings stored;
    const bool whole = size >= kSettingsSize;
    if (whole) std::memcpy(&stored, data, sizeof stored);
    if (whole && passesChecks(stored)) {
        Settings expected = stored;
        expected.codecStateSlot = 0;
        if (expected.pointScaling > 2) expected.pointScaling = 0;  // an unknown scaling mode is bilinear
        cut(expected.outputFolder);
        cut(expected.recordingSource);
        cut(expected.audioFormat);
        cut(expected.outputDevice);
        cut(expected.videoCodec);
        const int32_t declared = stored.videoCodecSettingsSize;
        const bool fits = declared > 0 && size - kSettingsSize >= static_cast<size_t>(declared);
        expected.videoCodecSettingsSize = fits ? declared : 0;
        // An output folder that cannot be entered is dropped.
        if (std::all_of(std::begin(loaded.outputFolder), std::end(loaded.outputFolder),
                        [](char16_t u) { return u == 0; }) &&
            !sameRecord(expected, loaded)) {
            const std::string folder = fieldToUtf8(expected.outputFolder);
            check(folder.empty() || ::chdir(folder.c_str()) != 0, "an enterable output folder was dropped");
            std::memset(expected.outputFolder, 0, sizeof expected.outputFolder);
        }
        check(sameRecord(expected, loaded), "an acceptable stored record was not loaded as stored");
        if (fits)
            check(std::memcmp(block.data(), data + kSettingsSize, block.size()) == 0,
                  "codec state differs from the file's bytes");
    } else {
        check(sameRecord(loaded, defaults), "a refused record did not leave the defaults");
        check(block.empty(), "codec state kept from a refused record");
    }

    // Save: the record and its block, nothing else.
    saveSettings();
    check(videoCodecSettings.empty() && settings.videoCodecSettingsSize == 0, "save kept the codec state");
    const std::vector<uint8_t> saved = readFile(settingsPath);
    std::vector<uint8_t> wanted(sizeof loaded);
    std::memcpy(wanted.data(), &loaded, sizeof loaded);
    wanted.insert(wanted.end(), block.begin(), block.end());
    check(saved == wanted, "the saved file is not the record followed by the block");

    // Second load: the same again.
    load();
    checkInvariants();
    check(sameRecord(settings, loaded), "the saved record loads differently");
    check(videoCodecSettings == block, "the saved codec state loads differently");
    videoCodecSettings = {};
    return 0;
}
