#pragma once
// Our Microsoft Video 1 encoder's frames as AVI packets: the stream is
// described as FFmpeg's own encoder describes it (MSVC, 16 bits a pixel),
// and every packet's data comes from a pool, so nothing is allocated per
// frame once the pool has its buffers.
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "record/codec/msvideo1_compressor.h"
#include "record/codec/msvideo1_encoder.h"

namespace media {

class Video1Track {
public:
    // Opens the encoder and describes `stream`; its time base is one tick
    // per frame.
    bool open(Video1Compressor& compressor, int width, int height, int64_t frameDuration, AVStream* stream,
              std::string* error);
    // A bottom-up 24-bit picture into `packet` (key frames flagged), time
    // stamps in frames. Key frames follow the time line: slots that had no
    // frame count too, so one comes at least once a second.
    bool encode(const uint8_t* rows, ptrdiff_t stride, int64_t pts, AVPacket* packet);
    AVRational timeBase() const { return timeBase_; }

private:
    struct PoolDeleter {
        void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
    };
    msvideo1::Encoder encoder_;
    std::unique_ptr<AVBufferPool, PoolDeleter> pool_;
    AVRational timeBase_{1, 30};
    int64_t lastKeyPts_ = 0;
    bool keyWritten_ = false;
};

}  // namespace media
