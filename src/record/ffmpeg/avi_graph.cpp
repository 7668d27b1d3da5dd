// The recording graph on libavformat's AVI muxer: the source's RGB samples
// through an encoder, and optionally sound, into one file. The board's own
// sound (the frames' sound) is placed and written on the source's streaming
// thread along with the video; an SDL capture device's sound comes from SDL's
// capture thread. One mutex serialises the muxer.
#include <SDL.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "record/ffmpeg/avi_totals.h"
#include "record/ffmpeg/board_sound_track.h"
#include "record/ffmpeg/ffmpeg_compressor.h"
#include "record/ffmpeg/sdl_audio_input.h"

namespace media {

namespace {

// 16-bit stereo PCM at `rate` samples per second, one sample a time unit.
void describeStereoPcm(AVStream* st, int rate) {
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_PCM_S16LE;
    par->sample_rate = rate;
    par->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
    par->bits_per_coded_sample = 16;
    par->block_align = 4;
    par->bit_rate = int64_t{rate} * 32;
    st->time_base = AVRational{1, rate};
}

std::string avError(const char* what, int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return std::string(what) + " (" + buf + ")";
}

struct FormatContextDeleter {
    void operator()(AVFormatContext* oc) const {
        if (oc->pb) avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

struct BufferPoolDeleter {
    void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
};

// The board sound's rate in the file: see the note at RenderAudio.
constexpr int kBoardSoundRate = 48000;
// How often the file's length fields are brought up to date.
constexpr auto kTotalsInterval = std::chrono::seconds(1);
// The longest a stop waits for the frames queued before it.
constexpr auto kDrainWait = std::chrono::seconds(2);

class AviGraph final : public Graph, private SampleSink, private BoardSoundTrack::Sink {
public:
    ~AviGraph() override { Stop(); }

    HRESULT SetOutputFileName(const std::string& fileName) override {
        AVFormatContext* oc = nullptr;
        if (fileName.empty() || avformat_alloc_output_context2(&oc, nullptr, "avi", fileName.c_str()) < 0)
            return E_FAIL;
        oc_.reset(oc);
        oc_->max_interleave_delta = 2000000;  // a silent sound device holds video back at most 2 s
        fileName_ = fileName;
        return S_OK;
    }

    HRESULT AddFilter(std::shared_ptr<Filter> filter, const std::string& name) override {
        if (!filter) return E_POINTER;
        for (auto& [n, f] : filters_)
            if (n == name || f == filter) return E_FAIL;
        filters_.emplace_back(name, std::move(filter));
        return S_OK;
    }

    HRESULT RenderVideo(Filter& source, Filter& compressor) override {
        if (!oc_ || enc_ || !inGraph(source) || !inGraph(compressor)) return E_FAIL;
        auto* video = dynamic_cast<FfmpegVideoCompressor*>(&compressor);
        OutputPin* capture = nullptr;
        for (int i = 0; i < source.pinCount(); ++i)
            if (source.pin(i) && source.pin(i)->isCapturePin()) capture = source.pin(i);
        if (!video || !capture) return E_FAIL;
        compressor_ = video;
        HRESULT hr = capture->Connect(this);
        if (FAILED(hr)) {
            compressor_ = nullptr;
            return hr;
        }
        source_ = &source;
        pin_ = capture;
        return S_OK;
    }

    HRESULT RenderAudio(Filter& audioSource, Filter* audioCompressor) override {
        if (!oc_ || device_ || frameSound_ || !inGraph(audioSource)) return E_FAIL;
        if (auto* frames = dynamic_cast<FrameSound*>(&audioSource)) return renderFrameSound(*frames);
        if (audioCompressor && (!inGraph(*audioCompressor) || audioCompressor->category() != Category::AudioCompressor))
            return E_FAIL;
        auto* input = dynamic_cast<SdlAudioInput*>(&audioSource);
        if (!input || !initSdlAudio()) return E_FAIL;
        SDL_AudioSpec want{}, have{};
        want.freq = 48000;
        want.format = AUDIO_S16LSB;
        want.channels = 2;
        want.samples = 1024;
        want.callback = &AviGraph::audioCallback;
        want.userdata = this;
        // The device's own rate; format and channels are converted by SDL.
        device_ = SDL_OpenAudioDevice(input->friendlyName().c_str(), 1, &want, &have,
                                      SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
        if (!device_) {
            deviceName_ = input->friendlyName();
            return E_FAIL;
        }
        deviceName_ = input->friendlyName();
        audioRate_ = have.freq;
        AVStream* st = avformat_new_stream(oc_.get(), nullptr);
        audioPacket_.reset(av_packet_alloc());
        if (!st || !audioPacket_) {
            SDL_CloseAudioDevice(device_);
            device_ = 0;
            return E_OUTOFMEMORY;
        }
        describeStereoPcm(st, audioRate_);
        audioStream_ = st;
        return S_OK;
    }

    HRESULT Run() override {
        if (state_.load() == FilterState::Running) return S_OK;
        if (!oc_ || !pin_) return VFW_E_NOT_CONNECTED;
        if (!(oc_->oformat->flags & AVFMT_NOFILE) && !oc_->pb) {
            int rc = avio_open(&oc_->pb, fileName_.c_str(), AVIO_FLAG_WRITE);
            if (rc < 0) {
                fail(avError("the file could not be created", rc));
                return E_FAIL;
            }
        }
        int rc = avformat_write_header(oc_.get(), nullptr);
        if (rc < 0) {
            fail(avError("the file could not be written", rc));
            return E_FAIL;
        }
        headerWritten_ = true;
        avio_flush(oc_->pb);
        bytes_.store(avio_tell(oc_->pb));
        // A file that cannot be kept current still records; it just needs
        // its trailer to state its length.
        totalsOpen_ = totals_.open(fileName_);
        lastTotals_ = std::chrono::steady_clock::now();
        ReferenceClock& clock = systemClock();
        source_->SetSyncSource(&clock);
        tStart_.store(clock.GetTime());
        HRESULT hr = source_->Run(tStart_.load());
        if (FAILED(hr)) return hr;
        if (device_) SDL_PauseAudioDevice(device_, 0);
        state_.store(FilterState::Running);
        return S_OK;
    }

    HRESULT Stop() override {
        // The frames queued before the end marker go into the file first
        // (the caller has asked the source to end its stream).
        if (pin_ && state_.load() == FilterState::Running) {
            const auto until = std::chrono::steady_clock::now() + kDrainWait;
            while (!pin_->streamEnded() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // Sound first: closing the device waits for its callback to return.
        if (device_) {
            SDL_CloseAudioDevice(device_);
            device_ = 0;
        }
        // The streaming thread ends here; after this the encoder is ours alone.
        if (source_) source_->Stop();
        if (headerWritten_) {
            flushEncoder();
            if (frameSound_ && !soundFinished_) {
                soundFinished_ = true;
                int64_t lead = 0;
                const bool known = frameSound_->videoLead(&lead);
                boardTrack_.process(*tap_, known ? &lead : nullptr, 0, true, *this);
                boardTrack_.finish((lastPts_ + 1) * frameDuration_, *this);
            }
            std::lock_guard lock(muxMutex_);
            if (!trailerWritten_) {
                totals_.close();
                trailerWritten_ = true;
                int rc = av_write_trailer(oc_.get());
                if (rc < 0) fail(avError("the file could not be completed", rc));
                if (oc_->pb) {
                    avio_flush(oc_->pb);
                    bytes_.store(avio_tell(oc_->pb));
                }
            }
        }
        if (oc_ && oc_->pb) {
            int rc = avio_closep(&oc_->pb);
            if (rc < 0) fail(avError("the file could not be closed", rc));
        }
        state_.store(FilterState::Stopped);
        return S_OK;
    }

    FilterState GetState() override { return state_.load(); }

    int64_t GetCurrentPosition() override { return bytes_.load(); }

    bool failed(std::string* why) override {
        // A capture device that went away stops the recording too: its sound
        // would be missing from here on without anyone noticing.
        // A capture device that went away ends the sound, not the recording.
        if (device_ && state_.load() == FilterState::Running &&
            SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED) {
            SDL_CloseAudioDevice(device_);
            device_ = 0;
            soundLost_ = deviceName_ + " stopped";
        }
        // A deleted file or folder takes writes without complaint: look for
        // the file now and then, so the user learns that nothing is kept.
        if (headerWritten_ && state_.load() == FilterState::Running) {
            auto now = std::chrono::steady_clock::now();
            if (now - lastFileCheck_ > std::chrono::milliseconds(250)) {
                lastFileCheck_ = now;
                if (::access(fileName_.c_str(), F_OK) != 0) fail("the file or its folder was removed");
            }
        }
        if (!failed_.load(std::memory_order_acquire)) return false;
        if (why) *why = why_;
        return true;
    }

    bool soundLost(std::string* why) override {
        if (soundLost_.empty()) return false;
        if (why) *why = soundLost_;
        return true;
    }

private:
    // The frames' own sound. Stored at 48000 Hz, resampled from the board's
    // 32728: the clock correction resamples anyway, so the common rate costs
    // nothing more, and editors and encoders that take only the usual rates
    // (AAC, Opus) open the file as it is.
    HRESULT renderFrameSound(FrameSound& frames) {
        SoundTap* tap = frames.openSoundTap();
        std::string error;
        if (!tap || !boardTrack_.open(kBoardSoundRate, &error)) return E_OUTOFMEMORY;
        AVStream* st = avformat_new_stream(oc_.get(), nullptr);
        audioPacket_.reset(av_packet_alloc());
        // Big enough for the most one chunk can give.
        soundPool_.reset(av_buffer_pool_init(1 << 15, av_buffer_alloc));
        if (!st || !audioPacket_ || !soundPool_) return E_OUTOFMEMORY;
        describeStereoPcm(st, kBoardSoundRate);
        audioStream_ = st;
        audioRate_ = kBoardSoundRate;
        frameSound_ = &frames;
        tap_ = tap;
        return S_OK;
    }

    // Streaming thread (or the UI thread once it has ended): finished board sound.
    void samples(const int16_t* data, int32_t frames) override {
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

    void placeBoardSound() {
        int64_t lead = 0;
        const bool known = frameSound_->videoLead(&lead);
        boardTrack_.process(*tap_, known ? &lead : nullptr, systemClock().GetTime() - tStart_.load(), false, *this);
    }

    bool inGraph(const Filter& f) const {
        for (auto& [n, p] : filters_)
            if (p.get() == &f) return true;
        return false;
    }

    // Any thread. The first failure is the one reported.
    void fail(const std::string& why) {
        if (failClaimed_.exchange(true)) return;
        why_ = why;
        failed_.store(true, std::memory_order_release);
    }

    // ---- The compressor's input (streaming thread after the connection) ----

    HRESULT CheckType(const MediaType& type) override {
        const VideoInfoHeader* v = type.videoInfo();
        if (type.majortype != MajorType::Video || type.subtype != SubType::RGB24 || !v) return E_INVALIDARG;
        const BitmapInfoHeader& b = v->bmiHeader;
        if (b.biWidth <= 0 || b.biHeight <= 0 || b.biBitCount != 24 || b.biWidth > 8192 || b.biHeight > 8192 ||
            v->AvgTimePerFrame <= 0 || v->AvgTimePerFrame > INT32_MAX)
            return E_INVALIDARG;
        return S_OK;
    }

    HRESULT ReceiveConnection(const MediaType& type) override {
        if (CheckType(type) != S_OK || !compressor_) return E_INVALIDARG;
        const BitmapInfoHeader& b = type.format.bmiHeader;
        width_ = b.biWidth;
        height_ = b.biHeight;
        stride_ = ((24 * width_ + 31) >> 5) * 4;
        frameDuration_ = type.format.AvgTimePerFrame;
        std::string error;
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

    HRESULT Receive(MediaSample& sample) override {
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

    HRESULT EndOfStream() override {
        flushEncoder();
        return S_OK;
    }

    void flushEncoder() {
        if (!enc_ || flushed_) return;
        flushed_ = true;
        encode(nullptr);
    }

    HRESULT encode(AVFrame* frame) {
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

    // Either thread; the muxer's one lock, with no other lock of ours held.
    bool writePacket(AVPacket* packet) {
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

    // ---- Sound (SDL's capture thread) ----

    static void SDLCALL audioCallback(void* user, Uint8* stream, int length) {
        static_cast<AviGraph*>(user)->onAudio(stream, length);
    }

    void onAudio(const uint8_t* bytes, int length) {
        if (failed_.load(std::memory_order_acquire) || length < 4) return;
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

    void writeAudio(AVPacket* packet, int64_t samples) {
        packet->pts = packet->dts = audioSamples_;
        packet->duration = samples;
        audioSamples_ += samples;
        packet->stream_index = audioStream_->index;
        packet->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(packet, AVRational{1, audioRate_}, audioStream_->time_base);
        writePacket(packet);
    }

    // UI thread while building and stopping.
    std::string fileName_;
    std::unique_ptr<AVFormatContext, FormatContextDeleter> oc_;
    std::vector<std::pair<std::string, std::shared_ptr<Filter>>> filters_;
    Filter* source_ = nullptr;
    OutputPin* pin_ = nullptr;
    FfmpegVideoCompressor* compressor_ = nullptr;
    bool headerWritten_ = false;
    std::chrono::steady_clock::time_point lastFileCheck_{};
    std::atomic<FilterState> state_{FilterState::Stopped};

    // Video: set up at connection, then streaming thread only (or the UI
    // thread once the streaming thread has ended).
    CodecContextPtr enc_;
    std::unique_ptr<SwsContext, SwsDeleter> sws_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    AVStream* videoStream_ = nullptr;
    int width_ = 0, height_ = 0, stride_ = 0;
    int64_t frameDuration_ = 1;
    int64_t lastPts_ = -1;
    bool qscale_ = false;
    bool flushed_ = false;

    // Sound: set up at RenderAudio, then SDL's capture thread only.
    SDL_AudioDeviceID device_ = 0;
    AVStream* audioStream_ = nullptr;
    std::unique_ptr<AVPacket, PacketDeleter> audioPacket_;
    int audioRate_ = 48000;
    int64_t audioSamples_ = 0;
    std::string deviceName_;  // the capture device asked for
    std::string soundLost_;   // UI thread

    // The frames' own sound: set up at RenderAudio, then the streaming thread
    // (the UI thread at the stop, after the streaming thread has ended).
    FrameSound* frameSound_ = nullptr;
    SoundTap* tap_ = nullptr;
    BoardSoundTrack boardTrack_;
    std::unique_ptr<AVBufferPool, BufferPoolDeleter> soundPool_;
    bool soundFinished_ = false;
    std::atomic<int64_t> tStart_{0};  // the time line's start, set before the device runs

    // The muxer and the flag that ends writing.
    std::mutex muxMutex_;
    bool trailerWritten_ = false;  // guarded by muxMutex_
    AviTotals totals_;             // guarded by muxMutex_
    bool totalsOpen_ = false;
    std::chrono::steady_clock::time_point lastTotals_{};

    // Any thread.
    std::atomic<int64_t> bytes_{0};
    std::atomic<bool> failClaimed_{false};
    std::atomic<bool> failed_{false};
    std::string why_;  // written once, before failed_
};

}  // namespace

std::unique_ptr<Graph> createGraph() {
    // Encoder and muxer chatter (deprecated JPEG ranges and the like) stays
    // off the terminal; failures reach the status line instead.
    av_log_set_level(AV_LOG_ERROR);
    return std::make_unique<AviGraph>();
}

}  // namespace media
