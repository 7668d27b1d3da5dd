#pragma once
// The one persistent settings record. Its memory layout is the settings
// file's format: 1864 bytes, little-endian, every field at a fixed offset.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t kSettingsMagic = 0x07480463;
constexpr size_t kSettingsSize = 1864;

struct Settings {
    uint32_t magic;
    char16_t outputFolder[260];     // ends in '/' whenever not empty
    uint32_t recordScreens;         // 0 both, 1 top, 2 bottom
    uint32_t displayType;           // 1..7
    char16_t recordingSource[128];
    char16_t audioFormat[128];
    char16_t outputDevice[256];
    uint8_t splitWindows;
    uint8_t alwaysOnTop;
    uint8_t pointScaling;
    uint8_t overscanOn;
    float overscan;                 // 0..0.08
    int32_t recordFps;
    int32_t volume;                 // percent
    int32_t windowWidth[2];
    int32_t windowHeight[2];
    uint32_t reserved;
    double videoQuality;            // 0..1
    char16_t videoCodec[128];
    int32_t videoCodecSettingsSize;
    uint32_t codecStateSlot;        // carries nothing; the block is videoCodecSettings
};
static_assert(sizeof(Settings) == kSettingsSize);
static_assert(offsetof(Settings, outputFolder) == 4);
static_assert(offsetof(Settings, recordScreens) == 524);
static_assert(offsetof(Settings, displayType) == 528);
static_assert(offsetof(Settings, recordingSource) == 532);
static_assert(offsetof(Settings, audioFormat) == 788);
static_assert(offsetof(Settings, outputDevice) == 1044);
static_assert(offsetof(Settings, splitWindows) == 1556);
static_assert(offsetof(Settings, alwaysOnTop) == 1557);
static_assert(offsetof(Settings, pointScaling) == 1558);
static_assert(offsetof(Settings, overscanOn) == 1559);
static_assert(offsetof(Settings, overscan) == 1560);
static_assert(offsetof(Settings, recordFps) == 1564);
static_assert(offsetof(Settings, volume) == 1568);
static_assert(offsetof(Settings, windowWidth) == 1572);
static_assert(offsetof(Settings, windowHeight) == 1580);
static_assert(offsetof(Settings, videoQuality) == 1592);
static_assert(offsetof(Settings, videoCodec) == 1600);
static_assert(offsetof(Settings, videoCodecSettingsSize) == 1856);
static_assert(offsetof(Settings, codecStateSlot) == 1860);

// The live record (UI thread) and the codec's opaque state block it owns:
// videoCodecSettings.size() == settings.videoCodecSettingsSize at all times
// outside loadSettings/saveSettings.
extern Settings settings;
extern std::vector<uint8_t> videoCodecSettings;

// Numbering counters for ".png" and ".avi"; both restart at 0 with a new folder.
extern uint32_t snapshotCounter;
extern uint32_t recordingCounter;

void loadSettings();
void saveSettings();

// Applies a folder the user picked (from the folder dialog): appends '/',
// stores it, makes it current and restarts both counters. False, with nothing
// changed, for an empty path or one too long for outputFolder.
bool applyOutputFolder(std::string_view folderUtf8);

// The first free name "%05d%s" from the counter upward in the current
// directory, into name (16 characters with the NUL). False when the numbers
// ran out without a free name; no name is then given.
bool makeNumberedName(uint32_t& counter, const char* extension, char name[16]);

// UTF-16 field helpers: a field with no NUL inside is cut at its end.
std::string fieldToUtf8(const char16_t* field, size_t capacity);
void utf8ToField(char16_t* field, size_t capacity, std::string_view text);
template <size_t N>
std::string fieldToUtf8(const char16_t (&field)[N]) { return fieldToUtf8(field, N); }
template <size_t N>
void utf8ToField(char16_t (&field)[N], std::string_view text) { utf8ToField(field, N, text); }

// Where the settings file lives: $XDG_CONFIG_HOME/Wren Capture/ (or ~/.config/...).
// Both are "" when there is no config folder; load and save create the folder.
std::string settingsFolder();
std::string settingsFilePath();
