#pragma once
// What an update keeps of a board across its erase, on disk: the identity
// word the flash held at bytes 40-43 and the board's own 8 + 128 bytes. The
// record is written and synced before the first erase, so that an update cut
// off at any point (even by the program being killed) can be finished later,
// and the board's data put back, from this file.
//
// One file per board in the user's state folder
// ($XDG_STATE_HOME/Wren Capture/, else ~/.local/state/Wren Capture/), named
// after the flash id and the hardware version.
#include <cstdint>
#include <optional>
#include <string>

struct KeptBoardData {
    uint32_t flashId = 0;
    uint8_t config[4] = {};
    // Each part is only known once it was read from the board holding real
    // content: an all-0xFF range is what an erase left, not board data.
    bool identityKnown = false;
    uint32_t identity = 0;
    bool firstKnown = false;
    uint8_t first[8] = {};
    bool secondKnown = false;
    uint8_t second[128] = {};
    // Set while an update of this board has (possibly) erased something and
    // not yet verified the result; only such a record stands in for the flash.
    bool updating = false;
};

// The folder the records live in, with a trailing '/'; "" when the home
// folder is unknown.
std::string keptDataFolder();
// Puts the records elsewhere ("" restores the default): the demo's simulated
// board must never leave a record a real board could be restored from.
void setKeptDataFolder(const std::string& folder);
// The record's file name for a board.
std::string keptDataFileName(uint32_t flashId, uint8_t hardwareVersion);

// The record of this board, or nothing (missing, short, corrupt or another
// board's: each said on the debug output).
std::optional<KeptBoardData> loadKeptBoardData(uint32_t flashId, uint8_t hardwareVersion);

// Writes the record through a temporary file, syncs file and folder, then
// renames it into place. On failure returns false with the reason in *why
// (the record on disk, if any, is left as it was).
bool saveKeptBoardData(const KeptBoardData& data, std::string* why);
