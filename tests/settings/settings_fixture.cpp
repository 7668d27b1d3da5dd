#include "settings_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

void SettingsTest::SetUp() {
    savedCwd_ = currentFolder();
    if (const char* h = std::getenv("HOME")) hadHome_ = true, savedHome_ = h;
    if (const char* c = std::getenv("XDG_CONFIG_HOME")) hadConfig_ = true, savedConfig_ = c;
    std::string pattern = (std::filesystem::temp_directory_path() / "kc-settings-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    home = root + "/home";
    config = root + "/config";
    makeFolder(home);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
}

void SettingsTest::TearDown() {
    ASSERT_EQ(::chdir(savedCwd_.c_str()), 0);
    if (hadHome_) ::setenv("HOME", savedHome_.c_str(), 1); else ::unsetenv("HOME");
    if (hadConfig_) ::setenv("XDG_CONFIG_HOME", savedConfig_.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(root);
}

void SettingsTest::writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

std::vector<uint8_t> SettingsTest::readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool SettingsTest::exists(const std::string& path) { return std::filesystem::exists(path); }

void SettingsTest::makeFolder(const std::string& path) { std::filesystem::create_directories(path); }

std::string SettingsTest::currentFolder() { return std::filesystem::current_path().string(); }
