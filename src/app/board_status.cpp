#include "app/board_status.h"

std::string boardUnpluggedText() { return "Capture board unplugged \xE2\x80\x94 waiting for it to come back"; }

std::string boardRestartingText() {
    return "Firmware updated. The capture board is restarting \xE2\x80\x94 waiting for it to come back";
}

std::string firmwareUpdatedText(FirmwareVersion version) {
    return "Firmware updated: the capture board runs firmware " + std::to_string(version.major) + "." +
           std::to_string(version.minor) + " now.";
}

std::string BoardStatus::started(bool boardPresent, bool streaming, bool chooserAvailable) {
    // An update at start has already said what the board is doing.
    if (state_ == State::Restarting || state_ == State::Streaming) return {};
    if (streaming || boardPresent) {
        state_ = streaming ? State::Streaming : State::Unknown;
        return {};
    }
    state_ = State::Missing;
    return chooserAvailable ? "No capture board found. Right-click here and pick \"Choose capture board\xE2\x80\xA6\" "
                              "to find it among the connected USB devices."
                            : "No capture board found.";
}

std::string BoardStatus::left() {
    // Only an open board can leave; one that restarts after its update is expected to.
    if (state_ == State::Left || state_ == State::Restarting || state_ == State::Missing) return {};
    state_ = State::Left;
    return boardUnpluggedText();
}

std::string BoardStatus::updated(bool streaming, FirmwareVersion version) {
    if (streaming) {
        state_ = State::Streaming;
        return firmwareUpdatedText(version);
    }
    state_ = State::Restarting;
    return boardRestartingText();
}

std::string BoardStatus::arrived(bool streaming, FirmwareVersion version) {
    if (!streaming) return {};
    const State before = state_;
    state_ = State::Streaming;
    switch (before) {
    case State::Missing: return "Capture board found.";
    case State::Left: return "Capture board back.";
    case State::Restarting: return firmwareUpdatedText(version);
    case State::Unknown:
    case State::Streaming: break;
    }
    return {};
}
