#pragma once
// Per-user folders the settings rely on (XDG base and user directories).
#include <string>

// The user's home folder without a trailing '/', or "" when unknown.
std::string homeFolder();

// The user's desktop folder without a trailing '/', or "" when there is none:
// XDG_DESKTOP_DIR from user-dirs.dirs, else ~/Desktop, provided it exists.
std::string desktopFolder();

// Creates the folder and its missing parents; an existing folder is fine.
bool makeFolders(const std::string& path);
