#include "share/share_choice.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

class ShareChoiceFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kc-share-choice-XXXXXX";
        folder_ = mkdtemp(pattern);
        const char* old = std::getenv("XDG_CONFIG_HOME");
        saved_ = old ? old : "";
        hadOld_ = old != nullptr;
        setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    }
    void TearDown() override {
        if (hadOld_)
            setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::filesystem::remove_all(folder_);
    }
    void write(const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(shareChoicePath()).parent_path());
        std::ofstream(shareChoicePath()) << text;
    }
    std::string folder_, saved_;
    bool hadOld_ = false;
};

TEST_F(ShareChoiceFile, RoundTripsBesideTheSettingsFile) {
    EXPECT_FALSE(loadShareChoice().on);  // no file: off, 1x
    EXPECT_EQ(loadShareChoice().scale, 1);
    ASSERT_TRUE(saveShareChoice({true, 3}));
    EXPECT_EQ(shareChoicePath(), folder_ + "/Wren Capture/camera-share");
    const ShareChoice back = loadShareChoice();
    EXPECT_TRUE(back.on);
    EXPECT_EQ(back.scale, 3);
    EXPECT_FALSE(std::filesystem::exists(shareChoicePath() + ".new"));
}

TEST_F(ShareChoiceFile, IgnoresWhatItDoesNotKnow) {
    struct {
        const char* text;
        bool on;
        int scale;
    } cases[] = {
        {"on=1\nscale=2\n", true, 2},
        {"on=7\nscale=9\n", false, 1},
        {"colour=blue\non=1\n", true, 1},
        {"\x01\x02garbage", false, 1},
        {"scale=-3\non=0\n", false, 1},
    };
    for (const auto& c : cases) {
        write(c.text);
        const ShareChoice choice = loadShareChoice();
        EXPECT_EQ(choice.on, c.on) << c.text;
        EXPECT_EQ(choice.scale, c.scale) << c.text;
    }
}

}  // namespace
