#pragma once
// Checksums of the PNG container (CRC-32) and of zlib streams, written and read (Adler-32).
#include <cstddef>
#include <cstdint>

// Continues a CRC-32 (reflected polynomial 0xEDB88320); start with crc = 0.
uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t size);

// Continues an Adler-32; start with adler = 1.
uint32_t adler32Update(uint32_t adler, const uint8_t* data, size_t size);
