#pragma once
// What the status line says about the capture board as it comes and goes:
// none found at start, unplugged and back, restarting after a firmware
// update and back with its new firmware. A board that is only re-enumerating
// (after an update) is never reported as missing. Plain logic: each event
// returns the text to show, or "" to leave the line as it is.
#include <string>

struct FirmwareVersion {
    int major = 0;
    int minor = 0;
};

class BoardStatus {
public:
    // After the capture core started (and any update at start has run):
    // whether a listed board is present, and whether the program can offer
    // the board chooser.
    std::string started(bool boardPresent, bool streaming, bool chooserAvailable);
    // The reader found the open board gone.
    std::string left();
    // The update dialog ended with success; the board may already stream
    // again (it came back while the dialog was open) or be restarting.
    std::string updated(bool streaming, FirmwareVersion version);
    // A board arrival was handled; streaming: the board is open and streams.
    std::string arrived(bool streaming, FirmwareVersion version);
    // The user opened a board from the chooser.
    void chosen() { state_ = State::Streaming; }

    bool missing() const { return state_ == State::Missing; }

private:
    enum class State { Unknown, Missing, Streaming, Left, Restarting };
    State state_ = State::Unknown;
};

// The texts, for the tests and the manual.
std::string boardUnpluggedText();
std::string boardRestartingText();
std::string firmwareUpdatedText(FirmwareVersion version);
