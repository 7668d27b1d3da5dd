#pragma once
// The programs' command line, read before anything touches the display:
// --help and --version answer and end the program, an unknown option ends
// it with status 2. A new switch is one bool here and one row in the option
// table (command_line.cpp).
#include <cstdio>
#include <string>
#include <vector>

struct CommandLine {
    bool help = false;
    bool version = false;
    bool pipewire = false;  // share as a camera from the start, for this run
    std::string error;  // set when the line cannot be used; the usage follows it
};

CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// Which program the usage describes: the one on a real board, or the demo.
enum class ProgramKind { Real, Demo };
std::string usageText(ProgramKind kind);
std::string versionText();

// main()'s first step: parses argv; prints the help, the version or the error
// (on standard error, with a hint) and returns the exit status, or -1 when
// the program is to go on with `line`.
int answerCommandLine(int argc, char** argv, ProgramKind kind, CommandLine& line,
                      std::FILE* out = stdout, std::FILE* err = stderr);
