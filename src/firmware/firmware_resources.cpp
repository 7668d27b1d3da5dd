#include "firmware/firmware_resources.h"

#include <atomic>

// Generated at build time from the image folder (see firmware/embed_images.cmake).
extern const FirmwareResource embeddedFirmwareResources[];
extern const size_t embeddedFirmwareResourcesCount;

namespace {
std::atomic<const FirmwareResource*> overrideEntries{nullptr};
std::atomic<size_t> overrideCount{0};
}  // namespace

void setFirmwareResources(const FirmwareResource* table, size_t count) {
    overrideCount = table ? count : 0;
    overrideEntries = table;
}

std::span<const uint8_t> findFirmwareResource(int id) {
    const FirmwareResource* entries = overrideEntries.load();
    size_t count = overrideCount.load();
    if (!entries) {
        entries = embeddedFirmwareResources;
        count = embeddedFirmwareResourcesCount;
    }
    for (size_t i = 0; i < count; ++i)
        if (entries[i].id == id && entries[i].data) return {entries[i].data, entries[i].size};
    return {};
}
