#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <functional>
#include <limits>

#include "settings_fixture.h"
#include "support/debug_capture.h"
#include "settings/settings.h"

namespace {

std::vector<uint8_t> bytesOf(const Settings& s) {
    const auto* p = reinterpret_cast<const uint8_t*>(&s);
    return {p, p + sizeof s};
}

// The defaults as a first run sees them (no settings file yet).
Settings freshDefaults() {
    loadSettings();
    return settings;
}

// A stored record that differs from the defaults, so acceptance is visible.
Settings storedRecord() {
    Settings s = freshDefaults();
    s.displayType = 5;
    s.volume = 42;
    s.splitWindows = 1;
    utf8ToField(s.recordingSource, "Mikrofon (Gerät 2) \xF0\x9F\x8E\xA4");
    return s;
}

}  // namespace

TEST_F(SettingsTest, FilePathFollowsXdgConfigHome) {
    EXPECT_EQ(settingsFilePath(), config + "/Wren Capture/kestrel_capture.cfg");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(settingsFolder(), home + "/.config/Wren Capture/");
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(settingsFolder(), home + "/.config/Wren Capture/");
}

TEST_F(SettingsTest, FirstRunGivesDefaultsAndSavesExactlyOneRecord) {
    makeFolder(home + "/Desktop");
    loadSettings();
    EXPECT_EQ(settings.magic, kSettingsMagic);
    EXPECT_EQ(settings.displayType, 1u);
    EXPECT_EQ(settings.recordScreens, 0u);
    EXPECT_FLOAT_EQ(settings.overscan, 0.04f);
    EXPECT_EQ(settings.recordFps, 30);
    EXPECT_EQ(settings.volume, 75);
    EXPECT_DOUBLE_EQ(settings.videoQuality, 0.85);
    EXPECT_EQ(fieldToUtf8(settings.videoCodec), "Microsoft Video 1");
    EXPECT_EQ(fieldToUtf8(settings.audioFormat), "PCM");
    EXPECT_EQ(fieldToUtf8(settings.outputDevice), "(system default)");
    EXPECT_EQ(fieldToUtf8(settings.recordingSource), "");
    EXPECT_EQ(settings.windowWidth[0] | settings.windowWidth[1] | settings.windowHeight[0] |
                  settings.windowHeight[1],
              0);
    EXPECT_EQ(fieldToUtf8(settings.outputFolder), home + "/Desktop/");
    EXPECT_EQ(currentFolder(), home + "/Desktop");
    EXPECT_TRUE(exists(config + "/Wren Capture")) << "load creates the settings folder";

    saveSettings();
    EXPECT_EQ(readFile(settingsFilePath()).size(), kSettingsSize);
}

TEST_F(SettingsTest, DefaultOutputFolderIsTheDesktopElseHome) {
    // No desktop folder at all: the home folder.
    loadSettings();
    EXPECT_EQ(fieldToUtf8(settings.outputFolder), home + "/");

    // user-dirs.dirs names the desktop, relative to $HOME.
    makeFolder(config);
    makeFolder(home + "/Schreibtisch");
    const std::string dirs = "# written by the user dirs tool\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n";
    writeFile(config + "/user-dirs.dirs", std::vector<uint8_t>(dirs.begin(), dirs.end()));
    loadSettings();
    EXPECT_EQ(fieldToUtf8(settings.outputFolder), home + "/Schreibtisch/");
    EXPECT_EQ(currentFolder(), home + "/Schreibtisch");

    // It names a folder that does not exist: the home folder again.
    std::filesystem::remove(home + "/Schreibtisch");
    loadSettings();
    EXPECT_EQ(fieldToUtf8(settings.outputFolder), home + "/");
}

TEST_F(SettingsTest, StoredRecordRoundTrips) {
    const Settings stored = storedRecord();
    settings = stored;
    saveSettings();
    loadSettings();
    EXPECT_EQ(std::memcmp(&settings, &stored, sizeof stored), 0);
    EXPECT_EQ(fieldToUtf8(settings.recordingSource), "Mikrofon (Gerät 2) \xF0\x9F\x8E\xA4");
}

struct RejectedCase {
    const char* name;
    std::function<void(Settings&)> spoil;
    size_t length = kSettingsSize;  // bytes of the record that reach the file
};

TEST_F(SettingsTest, FilesFailingAnyCheckLeaveTheDefaults) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto keep = [](Settings&) {};
    const RejectedCase cases[] = {
        {"1863 bytes", keep, kSettingsSize - 1},
        {"empty file", keep, 0},
        {"foreign magic", [](Settings& s) { s.magic = 0x07480464; }},
        {"displayType 0", [](Settings& s) { s.displayType = 0; }},
        {"displayType 8", [](Settings& s) { s.displayType = 8; }},
        {"displayType huge", [](Settings& s) { s.displayType = 0xFFFFFFFF; }},
        {"recordScreens 3", [](Settings& s) { s.recordScreens = 3; }},
        {"videoQuality 1.5", [](Settings& s) { s.videoQuality = 1.5; }},
        {"videoQuality -0.1", [](Settings& s) { s.videoQuality = -0.1; }},
        {"videoQuality NaN", [nan](Settings& s) { s.videoQuality = nan; }},
        {"overscan 0.09", [](Settings& s) { s.overscan = 0.09f; }},
        {"overscan negative", [](Settings& s) { s.overscan = -0.001f; }},
        {"overscan NaN", [nan](Settings& s) { s.overscan = static_cast<float>(nan); }},
    };
    const Settings defaults = freshDefaults();
    for (const RejectedCase& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s = storedRecord();
        c.spoil(s);
        std::vector<uint8_t> file = bytesOf(s);
        file.resize(c.length);
        writeFile(settingsFilePath(), file);
        DebugCapture debug;
        loadSettings();
        EXPECT_EQ(std::memcmp(&settings, &defaults, sizeof defaults), 0);
        EXPECT_EQ(debug.text(), "") << "a refused file prints nothing";
    }
}

TEST_F(SettingsTest, BoundaryValuesAreAccepted) {
    const std::function<void(Settings&)> cases[] = {
        [](Settings& s) { s.overscan = 0.08f; },
        [](Settings& s) { s.overscan = 0.0f; },
        [](Settings& s) { s.videoQuality = 0.0; },
        [](Settings& s) { s.videoQuality = 1.0; },
        [](Settings& s) { s.recordScreens = 2; },
        [](Settings& s) { s.displayType = 7; },
        [](Settings& s) { s.pointScaling = 2; },
    };
    freshDefaults();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        Settings s = storedRecord();
        cases[i](s);
        writeFile(settingsFilePath(), bytesOf(s));
        loadSettings();
        EXPECT_EQ(std::memcmp(&settings, &s, sizeof s), 0);
    }
}

TEST_F(SettingsTest, UnknownScalingModeLoadsAsBilinear) {
    freshDefaults();
    for (uint8_t stored : {uint8_t(3), uint8_t(255)}) {
        Settings s = storedRecord();
        s.pointScaling = stored;
        writeFile(settingsFilePath(), bytesOf(s));
        loadSettings();
        EXPECT_EQ(settings.pointScaling, 0);
        EXPECT_EQ(settings.volume, s.volume) << "the rest of the record is kept";
    }
}

TEST_F(SettingsTest, CodecStateRoundTripsBesideTheRecord) {
    freshDefaults();
    std::vector<uint8_t> state(48);
    for (size_t i = 0; i < state.size(); ++i) state[i] = static_cast<uint8_t>(0xA0 + i);
    settings = storedRecord();
    videoCodecSettings = state;
    settings.videoCodecSettingsSize = 48;
    saveSettings();
    EXPECT_TRUE(videoCodecSettings.empty()) << "saving frees the state";
    EXPECT_EQ(settings.videoCodecSettingsSize, 0);

    const std::vector<uint8_t> file = readFile(settingsFilePath());
    ASSERT_EQ(file.size(), kSettingsSize + 48);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + kSettingsSize, file.end()), state);

    DebugCapture debug;
    loadSettings();
    EXPECT_EQ(settings.videoCodecSettingsSize, 48);
    EXPECT_EQ(videoCodecSettings, state);
    EXPECT_EQ(debug.text(), "videoCodecSettingsSize=48\n");
}

TEST_F(SettingsTest, ShortOrBogusCodecStateIsDroppedButTheRecordTaken) {
    struct Case {
        const char* name;
        int32_t declared;
        size_t present;
    };
    const Case cases[] = {
        {"100 declared, 60 present", 100, 60},
        {"huge declared", 0x7FFFFFFF, 60},
        {"negative declared", -5, 60},
    };
    freshDefaults();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s = storedRecord();
        s.videoCodecSettingsSize = c.declared;
        s.codecStateSlot = 0xDEADBEEF;  // carries nothing in the file
        std::vector<uint8_t> file = bytesOf(s);
        file.resize(kSettingsSize + c.present, 0x5A);
        writeFile(settingsFilePath(), file);
        DebugCapture debug;
        loadSettings();
        EXPECT_EQ(settings.volume, 42) << "the record was taken";
        EXPECT_EQ(settings.videoCodecSettingsSize, 0);
        EXPECT_EQ(settings.codecStateSlot, 0u);
        EXPECT_TRUE(videoCodecSettings.empty());
        EXPECT_EQ(debug.text(), "videoCodecSettingsSize=0\n");
    }
}

TEST_F(SettingsTest, SaveNeverWritesMoreStateThanItHas) {
    freshDefaults();
    videoCodecSettings.assign(10, 0x77);
    settings.videoCodecSettingsSize = 48;
    saveSettings();
    const std::vector<uint8_t> file = readFile(settingsFilePath());
    ASSERT_EQ(file.size(), kSettingsSize + 10);
    loadSettings();
    EXPECT_EQ(settings.videoCodecSettingsSize, 10);

    videoCodecSettings.clear();
    settings.videoCodecSettingsSize = 48;
    saveSettings();
    EXPECT_EQ(readFile(settingsFilePath()).size(), kSettingsSize);
}

TEST_F(SettingsTest, StringFilledToTheEndOfItsFieldIsCutThere) {
    freshDefaults();
    Settings s = storedRecord();
    for (char16_t& unit : s.recordingSource) unit = u'A';
    for (char16_t& unit : s.videoCodec) unit = u'B';
    writeFile(settingsFilePath(), bytesOf(s));
    loadSettings();
    EXPECT_EQ(settings.volume, 42);
    EXPECT_EQ(fieldToUtf8(settings.recordingSource), std::string(127, 'A'));
    EXPECT_EQ(settings.recordingSource[127], 0);
    EXPECT_EQ(fieldToUtf8(settings.videoCodec), std::string(127, 'B'));
    EXPECT_EQ(fieldToUtf8(settings.audioFormat), "PCM") << "terminated fields are left alone";
}

TEST_F(SettingsTest, VanishedOutputFolderIsCleared) {
    freshDefaults();
    Settings s = storedRecord();
    utf8ToField(s.outputFolder, root + "/gone/");
    writeFile(settingsFilePath(), bytesOf(s));
    const std::string start = currentFolder();
    loadSettings();
    EXPECT_EQ(settings.volume, 42);
    for (char16_t unit : settings.outputFolder) ASSERT_EQ(unit, 0);
    EXPECT_EQ(currentFolder(), start);
}

TEST_F(SettingsTest, UnwritableConfigFolderKeepsDefaultsAndSavesNothing) {
    // The config "folder" is a file: nothing can be created below it.
    writeFile(config, {1, 2, 3});
    loadSettings();
    EXPECT_EQ(settings.displayType, 1u);
    settings.volume = 10;
    saveSettings();
    EXPECT_EQ(readFile(config).size(), 3u);
}

TEST_F(SettingsTest, FailedSaveKeepsThePreviousFile) {
    loadSettings();
    settings.volume = 33;
    saveSettings();
    const std::vector<uint8_t> before = readFile(settingsFilePath());
    ASSERT_EQ(before.size(), kSettingsSize);

    // The temporary file can't be created: the stored settings stay whole.
    makeFolder(settingsFilePath() + ".new");
    settings.volume = 99;
    saveSettings();
    EXPECT_EQ(readFile(settingsFilePath()), before);
}
