#include "firmware/firmware_update.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "core/debug_log.h"
#include "firmware/firmware_resources.h"
#include "firmware/flash_protocol.h"
#include "firmware/inflate.h"

namespace {

constexpr uint32_t kControlTimeoutMs = 500;
constexpr uint32_t kTrailerSize = 16;
constexpr uint32_t kIdentityOffset = 40;
constexpr uint32_t kBoardDataAddress = 0x7E000;
constexpr uint32_t kBoardDataSize = 0x2000;
constexpr uint8_t kSignature[4] = {'#', 'x', 'x', '#'};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The board data first read from each board, kept for the rest of the run.
// Only the update touches it, and the update runs under the device lock.
struct BoardKey {
    uint32_t flashId;
    uint8_t config[4];
    friend auto operator<=>(const BoardKey&, const BoardKey&) = default;
};
struct KeptData {
    uint8_t first[kKeptLength1];
    uint8_t second[kKeptLength2];
};
std::map<BoardKey, KeptData>& keptBoardData() {
    static std::map<BoardKey, KeptData> kept;
    return kept;
}

bool erased(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

// A range read back erased was lost by an earlier, failed run on this board:
// put the remembered bytes back into the buffer. A range that holds data is
// the board's current truth and is remembered.
void keepRange(uint8_t* buffer, uint8_t* remembered, size_t n, bool known) {
    if (erased(buffer, n)) {
        if (known && !erased(remembered, n)) std::memcpy(buffer, remembered, n);
    } else {
        std::memcpy(remembered, buffer, n);
    }
}

void restoreKeptData(const BoardKey& key, uint8_t* buffer) {
    auto& kept = keptBoardData();
    auto found = kept.find(key);
    const bool known = found != kept.end();
    KeptData& data = known ? found->second : kept[key];
    if (!known) std::memset(&data, 0xFF, sizeof data);
    keepRange(buffer + kKeptAddress1, data.first, kKeptLength1, known);
    keepRange(buffer + kKeptAddress2, data.second, kKeptLength2, known);
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

void forgetKeptBoardData() { keptBoardData().clear(); }

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
    const std::span<const uint8_t> resource = findFirmwareResource(resourceId);
    if (resource.empty()) return fail(link, 330, "Resource load failed\n");
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
    const uint32_t imageIdentity = le32(buffer.get() + kIdentityOffset);
    if ((trailerType & 0xFF) != deviceType || flashIdentity != imageIdentity) {
        debugPrintf("Devicetype mismatch. (%X %X %X %X)\n", trailerType, deviceType, flashIdentity, imageIdentity);
        return fail(link, 351, nullptr);
    }
    size -= kTrailerSize;

    if (!readRom(link, buffer.get() + kBoardDataAddress, kBoardDataAddress, kBoardDataSize))
        return fail(link, 358, "readRom failed.\n");
    const BoardKey key{link.flashId(), {config[0], config[1], config[2], config[3]}};
    restoreKeptData(key, buffer.get());

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

    const uint8_t reload[2] = {0xFF, 0x01};
    if (link.controlWrite(REQ_PORT, CONFIG_PORT, 2, reload)) link.controlWrite(REQ_PORT, CONFIG_PORT, 2, reload);
    return 0;
}

int _KestrelDevice::updateFirmware(void*, ProgressFn progress) {
    DeviceLink link(*this);
    return updateFirmwareOver(link, progress);
}
