#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "base/fatal.h"
#include "base/status_line.h"

namespace {
std::atomic<FatalErrorHandler> fatalHandler{nullptr};
std::atomic<StatusLineHandler> statusHandler{nullptr};
}  // namespace

void setFatalErrorHandler(FatalErrorHandler handler) { fatalHandler = handler; }

void fatalError(const char* text) {
    if (FatalErrorHandler handler = fatalHandler.load()) handler(text);
    std::fprintf(stderr, "Error: %s\n", text);
    std::exit(255);
}

void setStatusLineHandler(StatusLineHandler handler) { statusHandler = handler; }

void setStatusLine(const std::string& text) {
    if (StatusLineHandler handler = statusHandler.load()) handler(text);
}
