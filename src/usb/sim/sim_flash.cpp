#include "usb/sim/sim_flash.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/steady_clock.h"
#include "usb/board_protocol.h"

namespace usb {

namespace {

using namespace spi_flash;

uint64_t steadyMicros() { return static_cast<uint64_t>(steadyUs()); }

}  // namespace

struct SimFlash::State {
    mutable std::mutex mutex;  // guards everything below
    std::vector<uint8_t> memory = std::vector<uint8_t>(kSize, 0xFF);

    uint8_t id[3] = {0x1F, 0x84, 0x01};
    uint8_t otherBits = 0;  // status bits other than busy and WEL
    bool writeEnabled = false;

    Timing timing;
    double timeScale = 1.0;
    std::function<uint64_t()> clock = steadyMicros;
    uint64_t busyUntil = 0;
    uint64_t busyTotal = 0;

    // The command being clocked in while the chip is selected.
    bool selected = false;
    std::vector<uint8_t> command;  // opcode, address and (for programming) data
    uint32_t readAddress = 0;
    uint32_t idIndex = 0;

    bool stuckBusy = false;
    int64_t badPage = -1;
    bool detached = false;
    bool unplugArmed = false;
    uint64_t transfersBeforeUnplug = 0;

    uint64_t transfers = 0;
    uint32_t erases = 0;
    uint32_t programs = 0;

    bool atmel44() const { return id[0] == 0x1F && id[1] == 0x44 && id[2] == 0x01; }
    uint8_t protectionMask() const { return atmel44() ? 0x8C : 0x1C; }
    bool writeProtected() const { return otherBits & protectionMask(); }

    bool busy() const { return stuckBusy || clock() < busyUntil; }
    uint8_t status() const {
        return static_cast<uint8_t>(otherBits | (writeEnabled ? kStatusWriteEnabled : 0) |
                                    (busy() ? kStatusBusy : 0));
    }
    void startBusy(uint32_t micros) {
        uint64_t scaled = static_cast<uint64_t>(micros * timeScale);
        busyTotal += scaled;
        busyUntil = clock() + scaled;
    }

    // Counts a transfer; false once the board has been pulled out.
    bool countTransfer() {
        if (detached) return false;
        ++transfers;
        if (unplugArmed) {
            if (transfersBeforeUnplug == 0) {
                detached = true;
                unplugArmed = false;
                return false;
            }
            --transfersBeforeUnplug;
        }
        return true;
    }

    uint32_t address() const { return (command[1] << 16 | command[2] << 8 | command[3]) % kSize; }

    // Chip select released: commands that change the flash take effect now.
    void deselect() {
        selected = false;
        if (command.empty()) return;
        const uint8_t opcode = command[0];
        const bool accepted = writeEnabled && !busy();
        switch (opcode) {
            case kWriteEnable:
                if (!busy()) writeEnabled = true;
                break;
            case kWriteDisable:
                if (!busy()) writeEnabled = false;
                break;
            case kWriteStatus:
                if (accepted && command.size() >= 2) {
                    otherBits = static_cast<uint8_t>((otherBits & ~protectionMask()) |
                                                     (command[1] & protectionMask()));
                    writeEnabled = false;
                    startBusy(timing.statusWriteUs);
                }
                break;
            case kBlockErase:
                if (accepted && command.size() >= 4) {
                    writeEnabled = false;
                    if (!writeProtected()) {
                        std::memset(&memory[address() & ~(kBlockSize - 1)], 0xFF, kBlockSize);
                        ++erases;
                    }
                    startBusy(timing.blockEraseUs);
                }
                break;
            case kPageProgram:  // data wraps inside the page as on the chip
                if (accepted && command.size() > 4) {
                    writeEnabled = false;
                    if (!writeProtected()) {
                        const uint32_t page = address() & ~(kPageSize - 1);
                        uint32_t offset = address() % kPageSize;
                        const size_t count = std::min<size_t>(command.size() - 4, kPageSize);
                        const uint8_t* from = command.data() + command.size() - count;
                        for (size_t i = 0; i < count; ++i, offset = (offset + 1) % kPageSize)
                            memory[page + offset] &= from[i];
                        ++programs;
                    }
                    startBusy(timing.pageProgramUs);
                }
                break;
            default:
                break;
        }
        command.clear();
    }

    void clockOut(const uint8_t* data, uint32_t length) {
        if (!selected) {
            selected = true;
            command.clear();
            idIndex = 0;
        }
        // A program command keeps at most the last page of data, as the chip does.
        command.insert(command.end(), data, data + length);
        if (command.size() > 4 + 4 * kPageSize && command[0] == kPageProgram)
            command.erase(command.begin() + 4, command.end() - kPageSize);
        if (command.size() >= 4 && command[0] == kReadData) readAddress = address();
    }

    void clockIn(uint8_t* data, uint32_t length) {
        const uint8_t opcode = selected && !command.empty() ? command[0] : 0x00;
        // An unselected chip or an unknown command leaves the line high.
        std::memset(data, 0xFF, length);
        if (!selected) selected = true;
        switch (opcode) {
            case kReadId:
                for (uint32_t i = 0; i < length; ++i, ++idIndex) data[i] = idIndex < 3 ? id[idIndex] : 0x00;
                break;
            case kReadStatus:
                for (uint32_t i = 0; i < length; ++i) data[i] = status();
                break;
            case kReadData:
                if (command.size() < 4 || busy()) break;  // a busy chip ignores reads
                for (uint32_t i = 0; i < length; ++i) {
                    uint8_t byte = memory[readAddress];
                    if (badPage >= 0 && readAddress / kPageSize == static_cast<uint64_t>(badPage) / kPageSize)
                        byte ^= 0x01;
                    data[i] = byte;
                    readAddress = (readAddress + 1) % kSize;
                }
                break;
            default:
                break;
        }
    }
};

SimFlash::SimFlash() : state_(new State) {}
SimFlash::~SimFlash() { delete state_; }

bool SimFlash::write(uint16_t port, const uint8_t* data, uint32_t length) {
    if (port != FLASH_PORT && port != FLASH_PORT_CONT) return false;
    std::lock_guard lock(state_->mutex);
    if (!state_->countTransfer()) return false;
    if (length) state_->clockOut(data, length);
    if (port == FLASH_PORT) state_->deselect();
    return true;
}

int SimFlash::read(uint16_t port, uint8_t* data, uint32_t length) {
    if (port != FLASH_PORT && port != FLASH_PORT_CONT) return -1;
    std::lock_guard lock(state_->mutex);
    if (!state_->countTransfer()) return -1;
    state_->clockIn(data, length);
    if (port == FLASH_PORT) state_->deselect();
    return static_cast<int>(length);
}

void SimFlash::setIdentification(uint8_t manufacturer, uint8_t type, uint8_t capacity) {
    std::lock_guard lock(state_->mutex);
    state_->id[0] = manufacturer;
    state_->id[1] = type;
    state_->id[2] = capacity;
    // The 1F 44 01 chip reports its write-protect pin (not asserted) in bit 4.
    state_->otherBits = state_->atmel44() ? 0x10 : 0x00;
}

void SimFlash::setProtectionBits(uint8_t bits) {
    std::lock_guard lock(state_->mutex);
    state_->otherBits = bits & static_cast<uint8_t>(~(kStatusBusy | kStatusWriteEnabled));
}

uint8_t SimFlash::statusRegister() const {
    std::lock_guard lock(state_->mutex);
    return state_->status();
}

void SimFlash::setTiming(const Timing& timing) {
    std::lock_guard lock(state_->mutex);
    state_->timing = timing;
}

void SimFlash::setTimeScale(double scale) {
    std::lock_guard lock(state_->mutex);
    state_->timeScale = scale;
}

void SimFlash::setClock(std::function<uint64_t()> nowUs) {
    std::lock_guard lock(state_->mutex);
    state_->clock = nowUs ? std::move(nowUs) : steadyMicros;
}

uint64_t SimFlash::busyTimeUs() const {
    std::lock_guard lock(state_->mutex);
    return state_->busyTotal;
}

uint8_t* SimFlash::data() { return state_->memory.data(); }
const uint8_t* SimFlash::data() const { return state_->memory.data(); }

void SimFlash::fill(uint8_t value) {
    std::lock_guard lock(state_->mutex);
    std::fill(state_->memory.begin(), state_->memory.end(), value);
}

void SimFlash::boardData(uint8_t deviceType, uint8_t at7E000[8], uint8_t at7F080[128]) {
    const uint8_t head[8] = {'K', 'S', 'T', 'R', 0x20, 0x26, deviceType, 0x5A};
    std::memcpy(at7E000, head, 8);
    for (int i = 0; i < 128; ++i) at7F080[i] = static_cast<uint8_t>(0xC0 ^ (i * 7) ^ deviceType);
}

void SimFlash::loadFactoryContent(uint8_t deviceType) {
    std::lock_guard lock(state_->mutex);
    std::vector<uint8_t>& m = state_->memory;
    std::fill(m.begin(), m.end(), 0xFF);
    // An older configuration of about 400 KB: sync header, then a body of
    // mostly zero words as bitstreams have.
    constexpr uint32_t kOldLength = 400000;
    const uint8_t sync[4] = {0xAA, 0x99, 0x55, 0x66};
    std::memcpy(&m[16], sync, 4);
    uint32_t x = 0x2545F491u ^ deviceType;
    for (uint32_t i = 20; i < kOldLength; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        m[i] = (x & 0x300) ? 0x00 : static_cast<uint8_t>(x);
    }
    uint8_t identity[4] = {0, 0, 0, 0};
    if (deviceType == 3 || deviceType == 6) identity[2] = 0x10;
    if (deviceType >= 3 && deviceType <= 6) {
        identity[0] = 0x04;
        identity[3] = 0x93;
    }
    std::memcpy(&m[40], identity, 4);
    boardData(deviceType, &m[0x7E000], &m[0x7F080]);
}

void SimFlash::setStuckBusy(bool on) {
    std::lock_guard lock(state_->mutex);
    state_->stuckBusy = on;
}

void SimFlash::setBadPage(int64_t address) {
    std::lock_guard lock(state_->mutex);
    state_->badPage = address;
}

void SimFlash::unplugAfter(uint64_t transfers) {
    std::lock_guard lock(state_->mutex);
    state_->unplugArmed = true;
    state_->transfersBeforeUnplug = transfers;
}

void SimFlash::attach() {
    std::lock_guard lock(state_->mutex);
    state_->detached = false;
    state_->unplugArmed = false;
    state_->selected = false;
    state_->command.clear();
    state_->writeEnabled = false;
}

bool SimFlash::attached() const {
    std::lock_guard lock(state_->mutex);
    return !state_->detached;
}

uint64_t SimFlash::transfers() const {
    std::lock_guard lock(state_->mutex);
    return state_->transfers;
}

uint32_t SimFlash::blockErases() const {
    std::lock_guard lock(state_->mutex);
    return state_->erases;
}

uint32_t SimFlash::pagePrograms() const {
    std::lock_guard lock(state_->mutex);
    return state_->programs;
}

}  // namespace usb
