#pragma once
// The firmware images, by resource id (104, 105, 113, 114). The application
// takes the first <id>.zlib it finds in the user's firmware folder
// ($XDG_DATA_HOME/Wren Capture/firmware/, else ~/.local/share/...), in the
// installation's firmware folder (<prefix>/share/kestrel-capture/firmware/),
// and among the images embedded at build time.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct FirmwareResource {
    int id;
    const uint8_t* data;
    size_t size;
};

struct FirmwareImageSource {
    enum Status { Found, Missing, Unreadable, TooLarge } status = Missing;
    std::string where;  // the file read, or "embedded"
    std::string why;    // for Unreadable
    std::vector<uint8_t> storage;      // a file's bytes
    std::span<const uint8_t> builtIn;  // or an embedded image's

    // The zlib stream when Found.
    std::span<const uint8_t> bytes() const { return storage.empty() ? builtIn : std::span<const uint8_t>(storage); }
};

// A zlib stream bigger than this cannot hold an image that fits the flash.
constexpr size_t kFirmwareFileLimit = 4 << 20;

FirmwareImageSource findFirmwareImage(int id);
// The image's file name for a resource id.
std::string firmwareFileName(int id);
// The installation's folder as built (<prefix>/share/kestrel-capture/firmware/),
// under $KESTREL_CAPTURE_ROOT when that names a folder.
std::string installedFirmwareFolder();
constexpr const char* kInstallRootVariable = "KESTREL_CAPTURE_ROOT";
// The folders searched, in order, each with a trailing '/'.
std::vector<std::string> firmwareFolders();

// Replaces every source with this table (the demo and the tests carry their
// own images); null restores the folders and the embedded images. Call it
// while no update runs.
void setFirmwareResources(const FirmwareResource* table, size_t count);
// The installation's folder (tests point it elsewhere; "" restores the default).
void setInstalledFirmwareFolder(const std::string& folder);
