// What the AVI graph writes into the file: the compressor's input (the
// source's samples, encoded on the streaming thread), the board's sound
// placed alongside, and an SDL capture device's sound from SDL's thread.
#include <algorithm>
#include <cstring>

#include "record/ffmpeg/avi_graph.h"

namespace media {

namespace {

// How often the file's length fields are brought up to date.
constexpr auto kTotalsInterval = std::chrono::seconds(1);

}  // namespace

void AviGraph::samples(const int16_t* data, int32_t frames) {
    AVPacket* packet = audioPacket_.get();
    const int bytes = frames * 4;
    AVBufferRef* buffer = av_buffer_pool_get(soundPool_.get());
    if (!buffer || bytes > static_cast<int>(buffer->size)) {
        av_buffer_unref(&buffer);
        return;
    }
    std::memcpy(buffer->data, data, static_cast<size_t>(bytes));
    packet->buf = buffer;
    packet->data = buffer->data;
    packet->size = bytes;
    writeAudio(packet, frames);
}

void AviGraph::placeBoardSound() {
    int64_t lead = 0;
    const bool known = frameSound_->videoLead(&lead);
    boardTrack_.process(*tap_, known ? &lead : nullptr, systemClock().GetTime() - tStart_.load(), false, *this);
}

HRESULT AviGraph::CheckType(const MediaType& type) {
    const VideoInfoHeader* v = type.videoInfo();
    if (type.majortype != MajorType::Video || type.subtype != SubType::RGB24 || !v) return E_INVALIDARG;
    const BitmapInfoHeader& b = v->bmiHeader;
    if (b.biWidth <= 0 || b.biHeight <= 0 || b.biBitCount != 24 || b.biWidth > 8192 || b.biHeight > 8192 ||
        v->AvgTimePerFrame <= 0 || v->AvgTimePerFrame > INT32_MAX)
        return E_INVALIDARG;
    return S_OK;
}

HRESULT AviGraph::ReceiveConnection(const MediaType& type) {
    if (CheckType(type) != S_OK || (!compressor_ && !video1Compressor_)) return E_INVALIDARG;
    const BitmapInfoHeader& b = type.format.bmiHeader;
    width_ = b.biWidth;
    height_ = b.biHeight;
    stride_ = ((24 * width_ + 31) >> 5) * 4;
    frameDuration_ = type.format.AvgTimePerFrame;
    std::string error;
    if (video1Compressor_) {
        // Our encoder takes the source's bottom-up rows as they come.
        AVStream* st = avformat_new_stream(oc_.get(), nullptr);
        packet_.reset(av_packet_alloc());
        if (!st || !packet_) return E_OUTOFMEMORY;
        if (!video1_.open(*video1Compressor_, width_, height_, frameDuration_, st, &error)) {
            fail(error);
            return E_FAIL;
        }
        videoStream_ = st;
        video1Open_ = true;
        return S_OK;
    }
    AVPixelFormat format = AV_PIX_FMT_NONE;
    enc_ = compressor_->openEncoder(width_, height_, frameDuration_, &format, &error);
    if (!enc_) {
        fail(error);
        return E_FAIL;
    }
    sws_.reset(sws_getContext(width_, height_, AV_PIX_FMT_BGR24, width_, height_, format,
                              SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!sws_ || !frame_ || !packet_) return E_OUTOFMEMORY;
    frame_->format = format;
    frame_->width = width_;
    frame_->height = height_;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) return E_OUTOFMEMORY;
    AVStream* st = avformat_new_stream(oc_.get(), nullptr);
    if (!st || avcodec_parameters_from_context(st->codecpar, enc_.get()) < 0) return E_FAIL;
    st->time_base = enc_->time_base;
    st->avg_frame_rate = enc_->framerate;
    videoStream_ = st;
    qscale_ = (enc_->flags & AV_CODEC_FLAG_QSCALE) != 0;
    return S_OK;
}

HRESULT AviGraph::Receive(MediaSample& sample) {
    if (failed_.load(std::memory_order_acquire) || flushed_) return E_FAIL;
    uint8_t* data = nullptr;
    if (sample.GetPointer(&data) != S_OK || sample.GetSize() < stride_ * height_) return E_FAIL;
    int64_t start = 0, end = 0;
    if (sample.GetTime(&start, &end) != S_OK) start = (lastPts_ + 1) * frameDuration_;
    // Sample times are slot times: a slot without a frame stays a gap in
    // the pts, which the AVI muxer fills with empty chunks.
    int64_t pts = (start + frameDuration_ / 2) / frameDuration_;
    if (pts <= lastPts_) pts = lastPts_ + 1;
    lastPts_ = pts;
    if (video1Open_) {
        if (frameSound_) placeBoardSound();
        if (!video1_.encode(data, stride_, pts, packet_.get())) {
            fail("out of memory");
            return E_FAIL;
        }
        packet_->stream_index = videoStream_->index;
        av_packet_rescale_ts(packet_.get(), video1_.timeBase(), videoStream_->time_base);
        return writePacket(packet_.get()) ? S_OK : E_FAIL;
    }
    if (av_frame_make_writable(frame_.get()) < 0) {
        fail("out of memory");
        return E_FAIL;
    }
    // Bottom-up rows: start at the last row and step backwards.
    const uint8_t* src[4] = {data + static_cast<ptrdiff_t>(height_ - 1) * stride_, nullptr, nullptr, nullptr};
    const int srcStride[4] = {-stride_, 0, 0, 0};
    sws_scale(sws_.get(), src, srcStride, 0, height_, frame_->data, frame_->linesize);
    frame_->pts = pts;
    if (qscale_) frame_->quality = enc_->global_quality;
    if (frameSound_) placeBoardSound();
    return encode(frame_.get());
}

HRESULT AviGraph::EndOfStream() {
    flushEncoder();
    return S_OK;
}

void AviGraph::flushEncoder() {
    if (!enc_ || flushed_) return;
    flushed_ = true;
    encode(nullptr);
}

HRESULT AviGraph::encode(AVFrame* frame) {
    int rc = avcodec_send_frame(enc_.get(), frame);
    if (rc < 0 && rc != AVERROR_EOF) {
        fail(avError("the compressor failed", rc));
        return E_FAIL;
    }
    for (;;) {
        rc = avcodec_receive_packet(enc_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return S_OK;
        if (rc < 0) {
            fail(avError("the compressor failed", rc));
            return E_FAIL;
        }
        packet_->stream_index = videoStream_->index;
        av_packet_rescale_ts(packet_.get(), enc_->time_base, videoStream_->time_base);
        if (!writePacket(packet_.get())) return E_FAIL;
    }
}

bool AviGraph::writePacket(AVPacket* packet) {
    int rc;
    {
        std::lock_guard lock(muxMutex_);
        if (trailerWritten_) {
            av_packet_unref(packet);
            return true;
        }
        rc = av_interleaved_write_frame(oc_.get(), packet);
        if (oc_->pb) bytes_.store(avio_tell(oc_->pb));
        auto now = std::chrono::steady_clock::now();
        if (rc >= 0 && totalsOpen_ && now - lastTotals_ >= kTotalsInterval) {
            lastTotals_ = now;
            avio_flush(oc_->pb);
            totals_.update();
        }
    }
    av_packet_unref(packet);
    if (rc < 0) {
        fail(avError("writing the file failed", rc));
        return false;
    }
    return true;
}

void SDLCALL AviGraph::audioCallback(void* user, Uint8* stream, int length) {
    static_cast<AviGraph*>(user)->onAudio(stream, length);
}

void AviGraph::onAudio(const uint8_t* bytes, int length) {
    if (failed_.load(std::memory_order_acquire) || soundCut_.load() || length < 4) return;
    lastSoundAt_.store(systemClock().GetTime());
    AVPacket* packet = audioPacket_.get();
    if (audioSamples_ == 0) {
        // The device starts a little after the picture's time line: lead
        // in with silence so that sound and picture stay together.
        int64_t elapsed = systemClock().GetTime() - tStart_.load();
        int64_t lead = elapsed * audioRate_ / 10000000 - length / 4;
        lead = std::clamp<int64_t>(lead, 0, audioRate_);
        if (lead > 0 && av_new_packet(packet, static_cast<int>(lead * 4)) == 0) {
            std::memset(packet->data, 0, static_cast<size_t>(lead * 4));
            writeAudio(packet, lead);
        }
    }
    if (av_new_packet(packet, length) < 0) {
        fail("out of memory");
        return;
    }
    std::memcpy(packet->data, bytes, static_cast<size_t>(length));
    writeAudio(packet, length / 4);
}

void AviGraph::writeAudio(AVPacket* packet, int64_t samples) {
    packet->pts = packet->dts = audioSamples_;
    packet->duration = samples;
    audioSamples_ += samples;
    packet->stream_index = audioStream_->index;
    packet->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(packet, AVRational{1, audioRate_}, audioStream_->time_base);
    writePacket(packet);
}

}  // namespace media
