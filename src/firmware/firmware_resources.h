#pragma once
// The firmware images carried in the application, looked up by resource id
// (104, 105, 113, 114). The build embeds whatever image files it finds; a
// missing image is an empty span.
#include <cstddef>
#include <cstdint>
#include <span>

struct FirmwareResource {
    int id;
    const uint8_t* data;
    size_t size;
};

std::span<const uint8_t> findFirmwareResource(int id);

// Replaces the table the lookup uses (the demo and the tests carry their own
// images); null restores the embedded one. Call it while no update runs.
void setFirmwareResources(const FirmwareResource* table, size_t count);
