#pragma once
// The SDL library in use, for the About box.
#include <string>

// "2.26.5": the version of the SDL library loaded at run time.
std::string sdlVersion();
