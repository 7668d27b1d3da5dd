#include "record/ffmpeg/video1_track.h"

extern "C" {
#include <libavutil/rational.h>
}

namespace media {

bool Video1Track::open(Video1Compressor& compressor, int width, int height, int64_t frameDuration,
                       AVStream* stream, std::string* error) {
    if (!compressor.openEncoder(encoder_, width, height, frameDuration, error)) return false;
    keyWritten_ = false;
    pool_.reset(av_buffer_pool_init(encoder_.maxFrameBytes() + AV_INPUT_BUFFER_PADDING_SIZE, av_buffer_alloc));
    if (!pool_) {
        if (error) *error = "out of memory";
        return false;
    }
    timeBase_ = AVRational{static_cast<int>(frameDuration), 10000000};
    av_reduce(&timeBase_.num, &timeBase_.den, timeBase_.num, timeBase_.den, INT32_MAX);
    AVCodecParameters* par = stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_MSVIDEO1;
    par->width = width;
    par->height = height;
    par->format = AV_PIX_FMT_RGB555LE;
    par->bits_per_coded_sample = 16;
    stream->time_base = timeBase_;
    stream->avg_frame_rate = av_inv_q(timeBase_);
    return true;
}

bool Video1Track::encode(const uint8_t* rows, ptrdiff_t stride, int64_t pts, AVPacket* packet) {
    AVBufferRef* buffer = av_buffer_pool_get(pool_.get());
    if (!buffer) return false;
    if (!keyWritten_ || pts - lastKeyPts_ >= encoder_.keyInterval()) encoder_.forceKeyFrame();
    const msvideo1::Encoder::Frame frame = encoder_.encodeBgr24(rows, stride, buffer->data);
    packet->buf = buffer;
    packet->data = buffer->data;
    packet->size = static_cast<int>(frame.bytes);
    packet->pts = packet->dts = pts;
    packet->duration = 1;
    packet->flags = frame.key ? AV_PKT_FLAG_KEY : 0;
    if (frame.key) lastKeyPts_ = pts, keyWritten_ = true;
    return true;
}

}  // namespace media
