#pragma once
// Captures the debug output into memory for the duration of a test.
#include <string>

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    // Everything printed since construction (or the last clear()).
    std::string text();
    void clear();

private:
    int fd_;
    int previous_;
};
