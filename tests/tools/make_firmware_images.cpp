// Writes the demo board's synthetic firmware images, <id>.zlib for the four
// device types, into the folder given as the only argument.
#include <cstdio>
#include <filesystem>

#include "synthetic_image.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    const struct {
        uint8_t type;
        int id;
    } images[] = {{3, 105}, {4, 104}, {5, 113}, {6, 114}};
    for (const auto& entry : images) {
        const std::vector<uint8_t> stream = synthetic::compress(synthetic::image(entry.type));
        const std::string path = std::string(argv[1]) + "/" + std::to_string(entry.id) + ".zlib";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(stream.data(), 1, stream.size(), f) != stream.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
