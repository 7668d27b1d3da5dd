#pragma once
// The PNG writer: truecolour, 8 bits per channel, no interlace. The file is
// the signature, IHDR, one IDAT with the whole zlib stream, and IEND.
#include <cstddef>
#include <cstdint>
#include <memory>

// Results of encodePng and savePng (snapshot.h).
enum PngResult : unsigned {
    kPngOk = 0,
    kPngBadSize = 1,      // width or height 0, or too large for one stream
    kPngOutOfMemory = 2,
    kPngWriteFailed = 3,  // the file opened but was not written completely
    kPngOpenFailed = 79,
};

struct PngFile {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
};

// Encodes the RGB rows and writes them as the file fileName with a single
// write. kPngOpenFailed when the file cannot be opened; a failed or short
// write removes the partial file and gives kPngWriteFailed. (Also declared in
// snapshot.h, where the save thread uses it.)
unsigned savePng(const char* fileName, const uint8_t* rgb, unsigned width, unsigned height);

// Encodes width x height RGB pixels (rows top to bottom, 3 bytes a pixel,
// no padding) into a complete PNG file in memory.
unsigned encodePng(const uint8_t* rgb, unsigned width, unsigned height, PngFile& file);
