#include "firmware/flash_protocol.h"

#include <algorithm>
#include <cstring>

#include "base/debug_log.h"
#include "base/steady_clock.h"
#include "core/device.h"

namespace {

using namespace spi_flash;

constexpr uint32_t kReadPiece = 4096;

bool out(FlashLink& link, uint16_t port, const uint8_t* data, uint16_t length) {
    return link.controlWrite(REQ_PORT, port, length, data);
}

bool in(FlashLink& link, uint16_t port, uint8_t* data, uint16_t length) {
    return link.controlRead(REQ_PORT, port, length, data) == length;
}

bool sendAddressed(FlashLink& link, uint8_t command, uint32_t address, uint16_t port) {
    const uint8_t bytes[4] = {command, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                              static_cast<uint8_t>(address)};
    return out(link, port, bytes, 4);
}

// Write enable, the status register set to 0x00, then the wait for the write.
bool clearProtection(FlashLink& link) {
    debugPrintf("unWriteProtect\n");
    if (!writeEnable(link)) return false;
    const uint8_t bytes[2] = {kWriteStatus, 0x00};
    if (!out(link, FLASH_PORT, bytes, 2)) return false;
    return waitReady(link, kStatusWriteTimeout);
}

}  // namespace

uint32_t FlashLink::tickCount() { return static_cast<uint32_t>(steadyMs()); }

bool endCommand(FlashLink& link) { return link.controlWrite(REQ_PORT, FLASH_PORT, 0, nullptr); }

bool checkId(FlashLink& link) {
    uint32_t& id = link.flashId();
    id = 0;
    const uint8_t command = kReadId;
    uint8_t bytes[3] = {};
    if (out(link, FLASH_PORT_CONT, &command, 1) && in(link, FLASH_PORT, bytes, 3))
        id = bytes[0] | bytes[1] << 8 | bytes[2] << 16;
    switch (id) {
        case 0x01441F:
        case 0x01841F:
        case 0x132020:
        case 0x138020:
            return true;
        default:
            debugPrintf("Unsupported flash (ID=%02X %02X %02X)\n", id & 0xFF, (id >> 8) & 0xFF, (id >> 16) & 0xFF);
            return false;
    }
}

bool writeEnable(FlashLink& link) {
    const uint8_t command = kWriteEnable;
    return out(link, FLASH_PORT, &command, 1);
}

bool readStatus(FlashLink& link, uint8_t* status) {
    const uint8_t command = kReadStatus;
    if (!out(link, FLASH_PORT_CONT, &command, 1)) return false;
    return in(link, FLASH_PORT, status, 1);
}

bool waitReady(FlashLink& link, uint32_t timeoutMs) {
    const uint8_t command = kReadStatus;
    if (!out(link, FLASH_PORT_CONT, &command, 1)) return false;
    const uint32_t start = link.tickCount();
    uint8_t status;
    for (;;) {
        // The clock is read before the status, so the busy reading that ends
        // the wait was taken after the time-out: a poller that was not
        // scheduled for a while does not fail a chip that finished in time.
        const bool late = link.tickCount() - start >= timeoutMs;
        // The chip repeats its status register while the command stays open.
        status = kStatusBusy;
        if (link.controlRead(REQ_PORT, FLASH_PORT_CONT, 1, &status) != 1) {
            status = kStatusBusy;
            break;
        }
        if (!(status & kStatusBusy) || late) break;
    }
    endCommand(link);
    return !(status & kStatusBusy);
}

bool unWriteProtect(FlashLink& link) {
    uint8_t status = 0;
    switch (link.flashId()) {
        case 0x01441F:
            if (!readStatus(link, &status)) return false;
            if (!(status & 0x10)) return false;
            if (!(status & 0x8C)) return true;
            return clearProtection(link);
        case 0x01841F:
        case 0x132020:
        case 0x138020:
            if (!readStatus(link, &status)) return false;
            if (!(status & 0x1C)) return true;
            return clearProtection(link);
        default:
            return false;
    }
}

bool eraseBlock(FlashLink& link, uint32_t address) {
    if (!writeEnable(link)) return false;
    if (!sendAddressed(link, kBlockErase, address, FLASH_PORT)) return false;
    return waitReady(link, kEraseTimeout);
}

bool pageProgram(FlashLink& link, uint32_t address, uint32_t length, const uint8_t* data) {
    if ((address % kFlashPageSize) + length > kFlashPageSize) {
        debugPrintf("Page write overflow.\n");
        return false;
    }
    if (!writeEnable(link)) return false;
    if (!sendAddressed(link, kPageProgram, address, FLASH_PORT_CONT)) return false;
    if (!out(link, FLASH_PORT, data, static_cast<uint16_t>(length))) return false;
    return waitReady(link, kProgramTimeout);
}

bool readRom(FlashLink& link, uint8_t* buffer, uint32_t address, uint32_t length) {
    if (!sendAddressed(link, kReadData, address, FLASH_PORT_CONT)) return false;
    while (length) {
        const uint32_t n = std::min(length, kReadPiece);
        const uint16_t port = length > kReadPiece ? FLASH_PORT_CONT : FLASH_PORT;
        if (link.controlRead(REQ_PORT, port, static_cast<uint16_t>(n), buffer) != static_cast<int>(n)) {
            endCommand(link);
            return false;
        }
        buffer += n;
        length -= n;
    }
    return true;
}

bool pageProgramVerify(FlashLink& link, const uint8_t* data, uint32_t length, uint32_t address) {
    if (length > kFlashPageSize) return false;
    if (!pageProgram(link, address, length, data)) return false;
    uint8_t readBack[kFlashPageSize];
    if (!readRom(link, readBack, address, length)) return false;
    return std::memcmp(readBack, data, length) == 0;
}
