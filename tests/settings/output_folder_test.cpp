#include <cstring>
#include <filesystem>

#include "settings_fixture.h"
#include "settings/settings.h"

class OutputFolderTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        loadSettings();
        out = root + "/out";
        makeFolder(out);
        ASSERT_TRUE(applyOutputFolder(out));
    }
    void touch(const std::string& name) { writeFile(out + "/" + name, {}); }
    std::string out;
};

TEST_F(OutputFolderTest, NamesSkipExistingFilesAndCountersAreIndependent) {
    touch("00000.png");
    touch("00001.png");
    char name[16];
    ASSERT_TRUE(makeNumberedName(snapshotCounter, ".png", name));
    EXPECT_STREQ(name, "00002.png");
    EXPECT_EQ(snapshotCounter, 3u);
    ASSERT_TRUE(makeNumberedName(recordingCounter, ".avi", name));
    EXPECT_STREQ(name, "00000.avi");
    EXPECT_EQ(recordingCounter, 1u);

    // A number once given is not given again, even if its file never appeared.
    ASSERT_TRUE(makeNumberedName(snapshotCounter, ".png", name));
    EXPECT_STREQ(name, "00003.png");
}

TEST_F(OutputFolderTest, NamesGrowPastFiveDigits) {
    char name[16];
    uint32_t counter = 123456;
    ASSERT_TRUE(makeNumberedName(counter, ".png", name));
    EXPECT_STREQ(name, "123456.png");
    counter = 4294967295u;
    ASSERT_TRUE(makeNumberedName(counter, ".avi", name));
    EXPECT_STREQ(name, "4294967295.avi");
}

TEST_F(OutputFolderTest, ExhaustedNumbersGiveNoName) {
    touch("99998.png");
    touch("99999.png");
    char name[16] = "stale";
    uint32_t counter = 99998;
    EXPECT_FALSE(makeNumberedName(counter, ".png", name));
    EXPECT_STREQ(name, "");
    EXPECT_EQ(counter, 100000u);

    // The last number is still given when its file is free.
    std::filesystem::remove(out + "/99999.png");
    counter = 99998;
    ASSERT_TRUE(makeNumberedName(counter, ".png", name));
    EXPECT_STREQ(name, "99999.png");
}

TEST_F(OutputFolderTest, DanglingLinkCountsAsTaken) {
    std::filesystem::create_symlink(root + "/nowhere", out + "/00000.png");
    char name[16];
    uint32_t counter = 0;
    ASSERT_TRUE(makeNumberedName(counter, ".png", name));
    EXPECT_STREQ(name, "00001.png");
}

TEST_F(OutputFolderTest, ChoosingAFolderRestartsBothCountersEvenForTheSameFolder) {
    snapshotCounter = 7;
    recordingCounter = 9;
    ASSERT_TRUE(applyOutputFolder(out));
    EXPECT_EQ(snapshotCounter, 0u);
    EXPECT_EQ(recordingCounter, 0u);
    EXPECT_EQ(fieldToUtf8(settings.outputFolder), out + "/");
    EXPECT_EQ(currentFolder(), out);

    // A trailing '/' is not doubled; the root stays "/".
    makeFolder(root + "/other");
    ASSERT_TRUE(applyOutputFolder(root + "/other/"));
    EXPECT_EQ(fieldToUtf8(settings.outputFolder), root + "/other/");
    EXPECT_EQ(currentFolder(), root + "/other");
    ASSERT_TRUE(applyOutputFolder("/"));
    EXPECT_EQ(fieldToUtf8(settings.outputFolder), "/");
}

TEST_F(OutputFolderTest, FolderThatDoesNotFitChangesNothing) {
    snapshotCounter = 5;
    const std::string tooLong = "/" + std::string(259, 'x');
    EXPECT_FALSE(applyOutputFolder(tooLong));
    EXPECT_FALSE(applyOutputFolder(""));
    EXPECT_EQ(fieldToUtf8(settings.outputFolder), out + "/");
    EXPECT_EQ(snapshotCounter, 5u);
    EXPECT_EQ(currentFolder(), out);
}
