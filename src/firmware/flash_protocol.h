#pragma once
// The SPI flash behind the board's port request: every flash command is one
// or more REQ_PORT transfers; FLASH_PORT_CONT keeps the chip selected after
// the transfer, FLASH_PORT ends the command.
#include <cstdint>

#include "firmware/flash_link.h"
#include "usb/board_protocol.h"

constexpr uint32_t kFlashSize = spi_flash::kSize;
constexpr uint32_t kFlashPageSize = spi_flash::kPageSize;
constexpr uint32_t kFlashBlockSize = spi_flash::kBlockSize;

// Busy time-outs in milliseconds.
constexpr uint32_t kProgramTimeout = 200;
constexpr uint32_t kStatusWriteTimeout = 200;
constexpr uint32_t kEraseTimeout = 7000;

// Closes whatever command is open (an empty FLASH_PORT transfer).
bool endCommand(FlashLink& link);
// Reads the identification bytes into link.flashId(); true for a supported chip.
bool checkId(FlashLink& link);
bool writeEnable(FlashLink& link);
bool readStatus(FlashLink& link, uint8_t* status);
// Polls the status register inside one open command until the chip is idle.
bool waitReady(FlashLink& link, uint32_t timeoutMs);
// Clears the chip's block protection when any is set (by link.flashId()).
bool unWriteProtect(FlashLink& link);
bool eraseBlock(FlashLink& link, uint32_t address);
// Programs 1..256 bytes that must stay inside one page.
bool pageProgram(FlashLink& link, uint32_t address, uint32_t length, const uint8_t* data);
bool readRom(FlashLink& link, uint8_t* buffer, uint32_t address, uint32_t length);
bool pageProgramVerify(FlashLink& link, const uint8_t* data, uint32_t length, uint32_t address);
