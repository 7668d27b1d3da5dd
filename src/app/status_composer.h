#pragma once
// What the control window's status line shows when two sources speak: the
// recording's status (refreshed several times a second) and one-off results
// such as a snapshot's "Saved ...". While recording, a result stays on a line
// of its own under the recording status for kHoldMs instead of being
// overwritten by the next refresh; otherwise it simply replaces the text.
#include <cstdint>
#include <string>

class StatusComposer {
public:
    static constexpr uint64_t kHoldMs = 3000;

    // A one-off result at time nowMs (milliseconds, any steady origin).
    std::string message(const std::string& text, bool recording, uint64_t nowMs);
    // The recording's status at nowMs.
    std::string recording(const std::string& text, uint64_t nowMs);

private:
    std::string compose(uint64_t nowMs) const;

    std::string recording_;
    std::string message_;
    uint64_t messageAt_ = 0;
};
