#pragma once
// A board for the flash tests: records every transfer, sends the flash port
// to a SimFlash and answers the configuration block itself. Its clock can be
// a fake one that moves on by a fixed step at every reading.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/device.h"
#include "firmware/flash_link.h"
#include "firmware/flash_protocol.h"
#include "usb/sim/sim_flash.h"

struct Transfer {
    bool in;
    uint16_t value;
    uint16_t length;
    std::vector<uint8_t> data;  // OUT: what was sent; IN: what arrived
    bool ok;

    uint8_t opcode() const { return !in && !data.empty() ? data[0] : 0; }
    uint32_t address() const { return data.size() >= 4 ? data[1] << 16 | data[2] << 8 | data[3] : 0; }
};

class SimLink : public FlashLink {
public:
    SimLink() { flash.setTimeScale(0); }

    int controlRead(uint8_t request, uint16_t value, uint16_t length, uint8_t* data) override {
        int got = -1;
        if (request == REQ_PORT && (value == FLASH_PORT || value == FLASH_PORT_CONT)) {
            got = flash.read(value, data, length);
        } else if (request == REQ_PORT && value == CONFIG_PORT && configOk) {
            for (uint16_t i = 0; i < length; ++i) data[i] = i < 4 ? config[i] : 0;
            got = length;
        }
        Transfer t{true, value, length, {}, got >= 0};
        if (refuse && refuse(t)) got = -1, t.ok = false;
        if (got > 0) t.data.assign(data, data + got);
        if (recording) log.push_back(std::move(t));
        return got;
    }

    bool controlWrite(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data) override {
        Transfer t{false, value, length, data ? std::vector<uint8_t>(data, data + length) : std::vector<uint8_t>{},
                   false};
        if (refuse && refuse(t)) {
            if (recording) log.push_back(std::move(t));
            return false;
        }
        if (request == REQ_PORT && (value == FLASH_PORT || value == FLASH_PORT_CONT)) {
            t.ok = flash.write(value, data, length);
        } else if (request == REQ_PORT && value == CONFIG_PORT) {
            t.ok = true;
            if (length == 2 && data[0] == 0xFF && data[1] == 0x01) ++reloads;
        }
        const bool ok = t.ok;
        if (recording) log.push_back(std::move(t));
        return ok;
    }

    bool setPipeTimeout(uint8_t pipe, uint32_t milliseconds) override {
        if (pipe == 0) pipeTimeout = milliseconds;
        return pipeTimeoutOk;
    }

    bool readConfig(int length, uint8_t* data) override {
        static const uint8_t select = 0;
        return controlWrite(REQ_PORT, CONFIG_PORT, 1, &select) &&
               controlRead(REQ_PORT, CONFIG_PORT, static_cast<uint16_t>(length), data) == length;
    }

    uint32_t& flashId() override { return id; }

    uint32_t tickCount() override {
        if (!tickStep) return FlashLink::tickCount();
        uint32_t now = ticks;
        ticks += tickStep;
        return now;
    }

    // Flash commands sent (OUT transfers that start a command, i.e. follow a
    // FLASH_PORT transfer), in order.
    std::vector<const Transfer*> commands() const {
        std::vector<const Transfer*> out;
        bool open = false;
        for (const Transfer& t : log) {
            if (t.value != FLASH_PORT && t.value != FLASH_PORT_CONT) continue;
            if (!open && !t.in && !t.data.empty()) out.push_back(&t);
            open = t.value == FLASH_PORT_CONT;
        }
        return out;
    }
    size_t countCommands(uint8_t opcode) const {
        size_t n = 0;
        for (const Transfer* t : commands()) n += t->opcode() == opcode;
        return n;
    }
    size_t flashTransfers() const {
        size_t n = 0;
        for (const Transfer& t : log) n += t.value == FLASH_PORT || t.value == FLASH_PORT_CONT;
        return n;
    }

    usb::SimFlash flash;
    std::array<uint8_t, 4> config{4, 5, 0, 0};
    bool configOk = true;
    bool pipeTimeoutOk = true;
    uint32_t pipeTimeout = 0;
    int reloads = 0;
    uint32_t id = 0;
    uint32_t ticks = 0;
    uint32_t tickStep = 0;  // 0: the real clock
    bool recording = true;
    std::function<bool(const Transfer&)> refuse;  // true fails the transfer
    std::vector<Transfer> log;
};
