#include "app/command_line.h"

#include <gtest/gtest.h>

TEST(CommandLine, ReadsTheKnownOptionsAndNamesTheFirstWrongOne) {
    const struct {
        std::vector<std::string> arguments;
        bool help, version;
        std::string error;
    } cases[] = {
        {{}, false, false, ""},
        {{"--help"}, true, false, ""},
        {{"-h"}, true, false, ""},
        {{"--version", "--help"}, true, true, ""},
        {{"--helpme"}, false, false, "unknown option '--helpme'"},
        {{"--help", "-x", "--bogus"}, true, false, "unknown option '-x'"},
        {{"file.avi"}, false, false, "unexpected argument 'file.avi'"},
    };
    for (const auto& c : cases) {
        const CommandLine line = parseCommandLine(c.arguments);
        EXPECT_EQ(line.help, c.help) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(line.version, c.version) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(line.error, c.error) << ::testing::PrintToString(c.arguments);
    }
}

TEST(CommandLine, AWrongOptionEndsWithStatusTwoAndAHintOnStandardError) {
    char program[] = "kestrel-capture", wrong[] = "--fullscreen";
    char* argv[] = {program, wrong, nullptr};
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    CommandLine line;
    EXPECT_EQ(answerCommandLine(2, argv, ProgramKind::Real, line, out, err), 2);
    EXPECT_EQ(std::ftell(out), 0);
    char text[200] = {};
    std::rewind(err);
    ASSERT_GT(std::fread(text, 1, sizeof text - 1, err), 0u);
    EXPECT_STREQ(text, "kestrel-capture: unknown option '--fullscreen'\n"
                       "Try 'kestrel-capture --help' for more information.\n");
    std::fclose(out);
    std::fclose(err);
    char* plain[] = {program, nullptr};
    EXPECT_EQ(answerCommandLine(1, plain, ProgramKind::Real, line), -1);
}
