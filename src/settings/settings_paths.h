#pragma once
// Per-user folders (XDG base and user directories): where the settings, the
// installed firmware images and the kept board data live.
#include <string>

// The application's folder under each XDG base folder.
inline constexpr const char* kAppFolderName = "Wren Capture";

enum class XdgBase {
    Config,  // $XDG_CONFIG_HOME, else ~/.config
    Data,    // $XDG_DATA_HOME, else ~/.local/share
    State,   // $XDG_STATE_HOME, else ~/.local/state
};

// The base folder without a trailing '/': the variable when it holds an
// absolute path, else its default under the home folder; "" when neither is
// known.
std::string xdgBaseFolder(XdgBase base);

// The application's folder under the base folder, with a trailing '/', or ""
// when the base folder is unknown.
std::string appFolder(XdgBase base);

// The user's home folder without a trailing '/', or "" when unknown.
std::string homeFolder();

// The user's desktop folder without a trailing '/', or "" when there is none:
// XDG_DESKTOP_DIR from user-dirs.dirs, else ~/Desktop, provided it exists.
std::string desktopFolder();

// Creates the folder and its missing parents; an existing folder is fine.
bool makeFolders(const std::string& path);
