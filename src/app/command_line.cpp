#include "app/command_line.h"

#include <algorithm>

#include "firmware/firmware_resources.h"
#include "firmware/kept_board_data.h"
#include "settings/settings.h"

#ifndef KESTREL_VERSION
#error "KESTREL_VERSION must name the program's version"
#endif

namespace {

struct Option {
    const char* name;
    const char* shortName;  // or null
    bool CommandLine::*flag;
    const char* help;
};

constexpr Option kOptions[] = {
    {"--help", "-h", &CommandLine::help, "show this help and exit"},
    {"--version", nullptr, &CommandLine::version, "show the version and exit"},
    {"--pipewire", nullptr, &CommandLine::pipewire, "share the picture as a PipeWire camera from the start"},
};

std::string folderOr(const std::string& folder, const char* fallback) {
    return folder.empty() ? fallback : folder;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    for (const std::string& argument : arguments) {
        const Option* match = nullptr;
        for (const Option& option : kOptions)
            if (argument == option.name || (option.shortName && argument == option.shortName)) match = &option;
        if (!match) {
            line.error = argument.starts_with('-') ? "unknown option '" + argument + "'"
                                                   : "unexpected argument '" + argument + "'";
            return line;
        }
        line.*(match->flag) = true;
    }
    return line;
}

std::string versionText() { return std::string("Kestrel Capture ") + KESTREL_VERSION + "\n"; }

std::string usageText(ProgramKind kind) {
    const bool demo = kind == ProgramKind::Demo;
    std::string text = demo ? "Usage: kestrel-capture-demo [OPTION]\n"
                              "Kestrel Capture on a simulated capture board: the whole program, no hardware.\n"
                            : "Usage: kestrel-capture [OPTION]\n"
                              "Shows, records and snapshots the Kestrel's two screens from its USB capture board.\n";
    text += "\nOptions:\n";
    for (const Option& option : kOptions) {
        std::string names = option.shortName ? std::string(option.shortName) + ", " + option.name
                                             : std::string("    ") + option.name;
        names.resize(std::max<size_t>(names.size() + 2, 18), ' ');
        text += "  " + names + option.help + "\n";
    }
    text += "\nEverything else is set in the control window and the screen windows' context\n"
            "menu (right-click), and kept in the settings file.\n";

    const std::string settings = folderOr(settingsFolder(), "$XDG_CONFIG_HOME/Wren Capture/");
    text += "\nFiles:\n";
    text += "  " + settings + "kestrel_capture.cfg\n      the settings\n";
    if (!demo)
        text += "  " + settings + "usb-ids\n"
                "      the capture boards' USB ids, one vvvv:pppp pair of hexadecimal vendor and\n"
                "      product ids a line ('#' starts a comment); kestrel-capture-board-access\n"
                "      gives your user access to the boards listed there\n";
    if (demo) {
        text += "  the demo's firmware images are built in\n";
    } else {
        for (const std::string& folder : firmwareFolders()) text += "  " + folder + "\n";
        text += "      where firmware images (104.zlib, 105.zlib, 113.zlib, 114.zlib) are looked\n"
                "      for, in this order\n";
    }
    text += "  " + folderOr(keptDataFolder(), "$XDG_STATE_HOME/Wren Capture/") +
            "\n      the boards' own data, kept while their firmware is updated\n";

    text += "\nEnvironment:\n"
            "  XDG_CONFIG_HOME   the settings folder's parent (default ~/.config)\n"
            "  XDG_DATA_HOME     the user's firmware folder's parent (default ~/.local/share)\n"
            "  XDG_STATE_HOME    the kept board data's parent (default ~/.local/state)\n";
    if (demo)
        text += "  KESTREL_DEMO_FIRMWARE_UPDATE=1\n"
                "                    the simulated board reports old firmware: the program starts\n"
                "                    with the firmware update\n";
    else
        text += "  KESTREL_CAPTURE_ROOT\n"
                "                    a folder that stands for / when the installed firmware folder\n"
                "                    is looked up (to try an unpacked package)\n";
    text += "  SDL_AUDIODRIVER   the sound output's driver (pulseaudio, pipewire, alsa, ...)\n";
    text += "\nKeys in the screen windows:\n"
            "  F1      statistics overlay          F11, Alt+Enter  full screen on or off\n"
            "  F2      split or join the windows   Esc             leave full screen\n"
            "  F3      always on top               Page Up/Down    overscan\n"
            "  F4      next scaling mode           Up/Down         volume\n"
            "  F12     snapshot                    Menu, Shift+F10 the context menu\n"
            "  Ctrl+C  copy the picture\n"
            "F1, F2, F4, F11, F12 and Ctrl+C also work in the control window, on the screen\n"
            "window that was active last.\n";
    return text;
}

int answerCommandLine(int argc, char** argv, ProgramKind kind, CommandLine& line, std::FILE* out,
                      std::FILE* err) {
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    line = parseCommandLine(arguments);
    const char* program = kind == ProgramKind::Demo ? "kestrel-capture-demo" : "kestrel-capture";
    if (!line.error.empty()) {
        std::fprintf(err, "%s: %s\nTry '%s --help' for more information.\n", program, line.error.c_str(),
                     program);
        return 2;
    }
    if (line.help) {
        std::fputs(usageText(kind).c_str(), out);
        return std::fflush(out) == 0 ? 0 : 1;
    }
    if (line.version) {
        std::fputs(versionText().c_str(), out);
        return std::fflush(out) == 0 ? 0 : 1;
    }
    return -1;
}
