#pragma once
// The control window's status line, the one place user-level results appear.
// Any thread may set it; the UI's handler brings the text to the UI thread.
#include <string>

using StatusLineHandler = void (*)(const std::string& text);
void setStatusLineHandler(StatusLineHandler handler);
void setStatusLine(const std::string& text);
