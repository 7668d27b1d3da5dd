#include "firmware/firmware_update.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "firmware/firmware_resources.h"
#include "firmware/flash_protocol.h"
#include "firmware/inflate.h"
#include "firmware/kept_board_data.h"
#include "firmware/update_failure.h"

namespace {

constexpr uint32_t kControlTimeoutMs = 500;
constexpr uint32_t kTrailerSize = 16;
constexpr uint32_t kIdentityOffset = 40;
constexpr uint32_t kBoardDataAddress = 0x7E000;
constexpr uint32_t kBoardDataSize = 0x2000;
constexpr uint8_t kSignature[4] = {'#', 'x', 'x', '#'};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

bool erased(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

// Programming only clears bits: a program of `target` cut off part way
// leaves bytes whose cleared bits are a subset of the target's.
bool onTheWayTo(const uint8_t* flash, const uint8_t* target, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if ((flash[i] & target[i]) != target[i]) return false;
    return true;
}

// One of the kept ranges, in the programming buffer (as read from the flash)
// and in the record. What the flash holds is the truth, unless it is what an
// earlier update of ours left there: erased, or a cut-off program of the
// recorded bytes; then the record is put back into the buffer.
void keepRange(uint8_t* buffer, uint8_t* recorded, bool& known, size_t n) {
    if (known && onTheWayTo(buffer, recorded, n)) {
        std::memcpy(buffer, recorded, n);
    } else if (!erased(buffer, n)) {
        std::memcpy(recorded, buffer, n);
        known = true;
    }
}

// The record an update of this board goes on from: what an earlier,
// unfinished update kept, else an empty one.
KeptBoardData startRecord(uint32_t flashId, const uint8_t config[4]) {
    KeptBoardData record;
    if (std::optional<KeptBoardData> kept = loadKeptBoardData(flashId, config[0]); kept && kept->updating)
        record = *kept;
    record.flashId = flashId;
    std::memcpy(record.config, config, 4);
    return record;
}

std::string imageMissingText(int resourceId) {
    const std::vector<std::string> folders = firmwareFolders();
    std::string text = "The firmware image file \"" + firmwareFileName(resourceId) +
                       "\" for this board was not found.\n\nPut it in " + folders.front();
    for (size_t i = 1; i < folders.size(); ++i) text += (i + 1 == folders.size() ? " or in " : ", in ") + folders[i];
    return text + ", then push Retry.";
}

// Writes the kept board data back into the erased last block; 0 or the code.
int writeBackKeptData(FlashLink& link, const uint8_t* buffer) {
    int code = 0;
    if (!pageProgramVerify(link, buffer + kKeptAddress1, kKeptLength1, kKeptAddress1)) code = 390;
    // Still try the second range, so as little as possible is lost.
    if (!pageProgramVerify(link, buffer + kKeptAddress2, kKeptLength2, kKeptAddress2) && code == 0) code = 392;
    if (code) debugPrintf("pageProgramVerify failed\n");
    return code;
}

class DeviceLink final : public FlashLink {
public:
    explicit DeviceLink(_KestrelDevice& device) : device_(device) {}
    int controlRead(uint8_t request, uint16_t value, uint16_t length, uint8_t* data) override {
        return device_.controlRead(request, value, length, data);
    }
    bool controlWrite(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data) override {
        return device_.controlWrite(request, value, length, data);
    }
    bool setPipeTimeout(uint8_t pipe, uint32_t milliseconds) override {
        return device_.setPipeTimeout(pipe, milliseconds);
    }
    bool readConfig(int length, uint8_t* data) override { return ::readConfig(&device_, length, data); }
    uint32_t& flashId() override { return device_.flashId; }

private:
    _KestrelDevice& device_;
};

int fail(FlashLink& link, int code, const char* message) {
    if (message) debugPrintf("%s", message);
    endCommand(link);
    return code;
}

}  // namespace

int firmwareResourceId(uint8_t deviceType) {
    switch (deviceType) {
        case 3: return 105;
        case 4: return 104;
        case 5: return 113;
        case 6: return 114;
        default: return 0;
    }
}

int updateFirmwareOver(FlashLink& link, ProgressFn progress) {
    if (!progress) progress = [](int) {};
    progress(0);
    if (!link.setPipeTimeout(0, kControlTimeoutMs)) return fail(link, 300, nullptr);
    endCommand(link);
    if (!checkId(link)) return fail(link, 304, "checkId failed\n");

    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kFlashSize]);
    if (!buffer) return fail(link, 310, "malloc fail.\n");
    std::memset(buffer.get(), 0xFF, kFlashSize);

    uint8_t config[4];
    if (!link.readConfig(4, config)) return fail(link, 316, "Kestrel config read error.\n");
    const uint8_t deviceType = config[0];
    const int resourceId = firmwareResourceId(deviceType);
    if (!resourceId) return fail(link, 326, "Unknown devicetype.\n");

    // The image is inflated straight into the programming buffer, never past
    // the board's data: a longer image is refused without using more memory.
    const FirmwareImageSource source = findFirmwareImage(resourceId);
    switch (source.status) {
        case FirmwareImageSource::Found: break;
        case FirmwareImageSource::Missing:
            setUpdateFailureText(imageMissingText(resourceId));
            return fail(link, 330, "Resource load failed\n");
        case FirmwareImageSource::Unreadable:
            setUpdateFailureText("The firmware image file " + source.where + " could not be read (" + source.why + ").");
            return fail(link, 330, "Resource load failed\n");
        case FirmwareImageSource::TooLarge: return fail(link, 333, "Bad firmware file.\n");
    }
    const std::span<const uint8_t> resource = source.bytes();
    const firmware::InflateResult inflated =
        firmware::zlibInflate(resource.data(), resource.size(), buffer.get(), kFirmwareImageLimit);
    if (inflated.status == firmware::InflateStatus::Invalid) return fail(link, 330, "Resource load failed\n");
    if (inflated.status == firmware::InflateStatus::TooLarge || inflated.produced <= kTrailerSize)
        return fail(link, 333, "Bad firmware file.\n");
    uint32_t size = static_cast<uint32_t>(inflated.produced);

    const uint8_t* trailer = buffer.get() + size - kTrailerSize;
    if (std::memcmp(trailer, kSignature, 4) != 0) return fail(link, 339, "Bad signature.\n");

    uint8_t flashWord[4];
    if (!readRom(link, flashWord, kIdentityOffset, 4)) return fail(link, 348, "readRom fail.\n");
    const uint32_t trailerType = le32(trailer + 8);
    const uint32_t flashIdentity = le32(flashWord);
    const uint8_t* imageWord = buffer.get() + kIdentityOffset;
    const uint32_t imageIdentity = le32(imageWord);

    // The flash must hold the image's identity word, so that an image only
    // goes over a configuration for the same FPGA. An update of ours that
    // was cut off after erasing block 0 took that word away: then the
    // identity recorded before the erase stands in for it, and without a
    // record the board's hardware version, which the trailer's type matches.
    std::optional<KeptBoardData> record;
    bool sameIdentity = flashIdentity == imageIdentity;
    if (!sameIdentity && (trailerType & 0xFF) == deviceType && onTheWayTo(flashWord, imageWord, 4)) {
        record = startRecord(link.flashId(), config);
        if (record->identityKnown)
            sameIdentity = record->identity == imageIdentity;
        else
            sameIdentity = flashIdentity == 0xFFFFFFFF;
        if (sameIdentity) debugPrintf("Identity word erased; board type %u taken\n", deviceType);
    }
    if ((trailerType & 0xFF) != deviceType || !sameIdentity) {
        debugPrintf("Devicetype mismatch. (%X %X %X %X)\n", trailerType, deviceType, flashIdentity, imageIdentity);
        return fail(link, 351, nullptr);
    }
    size -= kTrailerSize;

    if (!readRom(link, buffer.get() + kBoardDataAddress, kBoardDataAddress, kBoardDataSize))
        return fail(link, 358, "readRom failed.\n");
    if (!record) record = startRecord(link.flashId(), config);
    if (flashIdentity == imageIdentity) {
        record->identity = flashIdentity;
        record->identityKnown = true;
    }
    keepRange(buffer.get() + kKeptAddress1, record->first, record->firstKnown, kKeptLength1);
    keepRange(buffer.get() + kKeptAddress2, record->second, record->secondKnown, kKeptLength2);

    // Nothing is erased before the record is safely on disk.
    record->updating = true;
    if (std::string why; !saveKeptBoardData(*record, &why)) {
        debugPrintf("Board data not kept: %s\n", why.c_str());
        setUpdateFailureText("The board's own data could not be saved in " + keptDataFolder() + " (" + why +
                             "), so the update did not start. Make that folder writable, then push Retry.");
        return fail(link, kBoardDataNotSaved, nullptr);
    }

    if (!unWriteProtect(link)) return fail(link, 367, "Write protected.\n");

    // Block by block: erase, then program and verify its pages. Whether an
    // erase worked shows in the verification of the pages that follow.
    bool boardDataErased = false;
    for (uint32_t block = 0, offset = 0; offset < size; block += kFlashBlockSize) {
        eraseBlock(link, block);
        if (block + kFlashBlockSize > kBoardDataAddress) boardDataErased = true;
        for (; offset < block + kFlashBlockSize && offset < size; offset += kFlashPageSize) {
            if (!pageProgramVerify(link, buffer.get() + offset, kFlashPageSize, offset)) {
                debugPrintf("pageProgramVerify failed\n");
                // The board's data went with the erase: put it back before giving up.
                if (boardDataErased) writeBackKeptData(link, buffer.get());
                return fail(link, 385, nullptr);
            }
            if (offset % 1024 == 0) progress(static_cast<int>(offset * 1000 / size));
        }
    }
    if (boardDataErased) {
        if (int code = writeBackKeptData(link, buffer.get())) return fail(link, code, nullptr);
    }
    buffer.reset();

    // Verified: the copy stays on disk, but no longer stands in for the flash.
    record->updating = false;
    if (std::string why; !saveKeptBoardData(*record, &why)) debugPrintf("Board data record not updated: %s\n", why.c_str());

    if (link.controlWrite(REQ_PORT, CONFIG_PORT, 2, kConfigReload))
        link.controlWrite(REQ_PORT, CONFIG_PORT, 2, kConfigReload);
    return 0;
}

int updateFirmware(_KestrelDevice& device, ProgressFn progress) {
    DeviceLink link(device);
    return updateFirmwareOver(link, progress);
}
