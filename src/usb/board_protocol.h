#pragma once
// How the capture board is spoken to over USB: the interface class it offers,
// the pipe its frames arrive on, its vendor requests and ports, and the SPI
// flash behind the flash ports. The device
// link, the flash protocol, the libusb backend and the simulated board all
// take these numbers from here.
#include <cstdint>

#include "usb/usb_backend.h"

// The board's interface class, {3EDEEDE5-4F7A-42D5-AA8F-9A3976589B01}.
inline constexpr usb::Guid deviceInterfaceGuid{
    {0xe5, 0xed, 0xde, 0x3e, 0x7a, 0x4f, 0xd5, 0x42, 0xaa, 0x8f, 0x9a, 0x39, 0x76, 0x58, 0x9b, 0x01}};

// The bulk IN pipe a frame arrives on after REQ_START_FRAME.
constexpr uint8_t kFramePipe = 0x82;

// Vendor requests.
constexpr uint8_t REQ_PORT = 33;         // one transfer on a port (wValue)
constexpr uint8_t REQ_START_FRAME = 64;  // the next frame comes on kFramePipe

// Ports of REQ_PORT.
// The configuration block: OUT kConfigSelect, then IN the block; OUT
// kConfigReload makes the board leave the bus and come back reconfigured.
constexpr uint16_t CONFIG_PORT = 20;
// The SPI flash: FLASH_PORT_CONT keeps the chip selected after the
// transfer, FLASH_PORT ends the command.
constexpr uint16_t FLASH_PORT = 16;
constexpr uint16_t FLASH_PORT_CONT = 18;

inline constexpr uint8_t kConfigSelect = 0x00;
inline constexpr uint8_t kConfigReload[2] = {0xFF, 0x01};

// The SPI flash behind the flash ports: its geometry, the commands the flash
// protocol clocks out and the status bits it reads back.
namespace spi_flash {
constexpr uint32_t kSize = 0x80000;
constexpr uint32_t kBlockSize = 0x10000;
constexpr uint32_t kPageSize = 256;

constexpr uint8_t kWriteStatus = 0x01;
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kReadData = 0x03;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kReadId = 0x9F;
constexpr uint8_t kBlockErase = 0xD8;  // 64 KB

constexpr uint8_t kStatusBusy = 0x01;
constexpr uint8_t kStatusWriteEnabled = 0x02;
}  // namespace spi_flash
