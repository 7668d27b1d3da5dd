#pragma once
// Fatal start-up failures: a message box captioned "Error", then exit status 255.
using FatalErrorHandler = void (*)(const char* text);

// The UI installs a handler that shows the box; the default writes to stderr.
void setFatalErrorHandler(FatalErrorHandler handler);
[[noreturn]] void fatalError(const char* text);
