#pragma once
// Keeps an AVI file's length fields true while it is being written, so that
// a recording cut off by a crash, a kill or a power cut still says how long
// it is. The muxer fills these fields only when the file is completed; until
// then this rewrites them (RIFF and movi sizes, total frames, each stream's
// length) from the chunks that are really on disk, read back from the file.
#include <cstdint>
#include <string>
#include <vector>

namespace media {

class AviTotals {
public:
    ~AviTotals();
    // After the header is on disk: finds the fields. False if the file
    // cannot be opened or its header is not understood.
    bool open(const std::string& fileName);
    // Counts the whole chunks written since the last call and rewrites the
    // fields. The caller has flushed its own buffers first.
    bool update();
    void close();

    int64_t videoFrames() const { return videoFrames_; }
    int64_t audioBytes() const { return audioBytes_; }

private:
    struct Stream {
        bool audio = false;
        int64_t lengthField = 0;  // offset of strh dwLength
        int blockAlign = 1;
        int64_t count = 0;        // frames, or bytes for sound
    };
    bool write32(int64_t offset, uint32_t value);

    int fd_ = -1;
    std::vector<Stream> streams_;
    int64_t totalFramesField_ = 0;  // avih dwTotalFrames
    int64_t riffStart_ = 0;         // the RIFF list now being written
    int64_t moviStart_ = 0;         // its movi list
    bool firstRiff_ = true;
    int64_t scan_ = 0;              // next chunk header to read
    int64_t complete_ = 0;          // end of the last whole chunk
    int64_t firstRiffFrames_ = 0;
    int64_t videoFrames_ = 0;
    int64_t audioBytes_ = 0;
};

}  // namespace media
