#include "base/debug_log_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "support/debug_capture.h"
#include "support/private_folders.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::regex kStamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*))");

class DebugLogFileTest : public testing::Test {
protected:
    void SetUp() override {
        folder = folders.root + "/log";
        fs::create_directories(folder);
        log = folder + "/kestrel-capture.log";
    }
    void TearDown() override { closeDebugLogFile(); }

    PrivateFolders folders;
    std::string folder;
    std::string log;
};

// Each line carries a timestamp, also when a message holds several lines or
// a line comes in pieces; the console sees the text as printed.
TEST_F(DebugLogFileTest, EveryLineStampedConsoleUnchanged) {
    ASSERT_TRUE(openDebugLogFile(folder));
    EXPECT_EQ(debugLogFolder(), folder + "/");
    DebugCapture console;
    debugPrintf("hardware v%d, firmware v%d.%d\n", 1, 7, 3);
    debugPrintf("paints/s=0\nTP139 TP140 (audio data lost)\n");
    debugPrintf("opening ");
    debugPrintf("%s\n", "/dev/bus/usb/001/002");
    closeDebugLogFile();
    debugPrintf("after the log closed\n");
    EXPECT_EQ(debugLogFolder(), "");

    EXPECT_EQ(console.text(),
              "hardware v1, firmware v7.3\npaints/s=0\nTP139 TP140 (audio data lost)\nopening "
              "/dev/bus/usb/001/002\nafter the log closed\n");
    const std::vector<std::string> lines = linesOf(readFile(log));
    const std::vector<std::string> expected = {"hardware v1, firmware v7.3", "paints/s=0",
                                               "TP139 TP140 (audio data lost)", "opening /dev/bus/usb/001/002"};
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, kStamped)) << lines[i];
        EXPECT_EQ(match[1], expected[i]);
    }
}

// A board that is absent reports an error four times a second: the log
// counts repeats instead of filling with them, and says so before the next
// line or at the end.
TEST_F(DebugLogFileTest, RepeatedLinesAreCounted) {
    ASSERT_TRUE(openDebugLogFile(folder));
    for (int i = 0; i < 5; ++i) debugPrintf("FRAME_ERROR\n");
    debugPrintf("opening %s\n", "/dev/bus/usb/001/002");
    debugPrintf("FRAME_ERROR\n");
    debugPrintf("FRAME_ERROR\n");
    closeDebugLogFile();

    std::vector<std::string> bodies;
    for (const std::string& line : linesOf(readFile(log))) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kStamped)) << line;
        bodies.push_back(match[1]);
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"FRAME_ERROR", "(the line before repeated 4 more times)",
                                                "opening /dev/bus/usb/001/002", "FRAME_ERROR",
                                                "(the line before repeated 1 more time)"}));
}

// Several threads printing past the limit: both files stay under 1 MiB,
// the older one is replaced, not multiplied, and no line is torn or lost
// across the two files beyond what the older file's replacement dropped.
TEST_F(DebugLogFileTest, RotatesUnderTheLimitWithWholeLines) {
    ASSERT_TRUE(openDebugLogFile(folder));
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 12000;  // ~3.5 MiB in all: two rotations at least
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i)
                debugPrintf("thread %d line %06d %s\n", t, i, "0123456789abcdef0123456789abcdef0123456789");
        });
    for (std::thread& thread : threads) thread.join();
    closeDebugLogFile();

    ASSERT_TRUE(fs::exists(log + ".1"));
    EXPECT_FALSE(fs::exists(log + ".2"));
    EXPECT_LT(fs::file_size(log), kDebugLogLimit);
    EXPECT_LT(fs::file_size(log + ".1"), kDebugLogLimit);
    const std::regex line(R"(thread [0-3] line \d{6} 0123456789abcdef0123456789abcdef0123456789)");
    size_t count = 0;
    for (const std::string& file : {log + ".1", log}) {
        for (const std::string& text : linesOf(readFile(file))) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(text, match, kStamped)) << text;
            const std::string body = match[1];
            ASSERT_TRUE(std::regex_match(body, line)) << body;
            ++count;
        }
    }
    EXPECT_GT(count, 10000u);  // the two files hold the last megabytes
}

TEST_F(DebugLogFileTest, FullFileFromEarlierRunRotatesAtOpenMissingFolderRefused) {
    {
        std::ofstream full(log, std::ios::binary);
        full << std::string(kDebugLogLimit, 'x');
    }
    ASSERT_TRUE(openDebugLogFile(folder));
    debugPrintf("fresh\n");
    closeDebugLogFile();
    EXPECT_EQ(fs::file_size(log + ".1"), kDebugLogLimit);
    EXPECT_NE(readFile(log).find("fresh\n"), std::string::npos);
    EXPECT_LT(fs::file_size(log), 64u);

    EXPECT_FALSE(openDebugLogFile(folder + "/missing"));
    EXPECT_EQ(debugLogFolder(), "");
    debugPrintf("nowhere\n");  // no file, no crash
}

}  // namespace
