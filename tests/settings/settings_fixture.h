#pragma once
// A private home and config folder per test, so the real user's files are
// never touched; the working directory and environment are restored after.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string root;    // temporary folder holding everything below
    std::string home;    // $HOME
    std::string config;  // $XDG_CONFIG_HOME

    static void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
    static std::vector<uint8_t> readFile(const std::string& path);
    static bool exists(const std::string& path);
    static void makeFolder(const std::string& path);
    static std::string currentFolder();

private:
    std::string savedCwd_;
    std::string savedHome_;
    std::string savedConfig_;
    bool hadHome_ = false;
    bool hadConfig_ = false;
};
