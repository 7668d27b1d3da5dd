#pragma once
// The recording graph on libavformat's AVI muxer: the source's RGB samples
// through an encoder, and optionally sound, into one file. The board's own
// sound (the frames' sound) is placed and written on the source's streaming
// thread along with the video; an SDL capture device's sound comes from SDL's
// capture thread. One mutex serialises the muxer.
// Building, running and stopping in avi_graph.cpp; the video and sound
// written into the file in avi_graph_streams.cpp.
#include <SDL.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "record/ffmpeg/avi_totals.h"
#include "record/ffmpeg/board_sound_track.h"
#include "record/ffmpeg/ffmpeg_compressor.h"
#include "record/ffmpeg/video1_track.h"

namespace media {

// "what (FFmpeg's words for code)".
std::string avError(const char* what, int code);

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

class AviGraph final : public Graph, private SampleSink, private BoardSoundTrack::Sink {
public:
    ~AviGraph() override;

    HRESULT SetOutputFileName(const std::string& fileName) override;
    HRESULT AddFilter(std::shared_ptr<Filter> filter, const std::string& name) override;
    HRESULT RenderVideo(Filter& source, Filter& compressor) override;
    HRESULT RenderAudio(Filter& audioSource, Filter* audioCompressor) override;
    HRESULT Run() override;
    HRESULT Stop() override;
    FilterState GetState() override { return state_.load(); }
    int64_t GetCurrentPosition() override { return bytes_.load(); }

    bool failed(std::string* why) override;
    bool soundLost(std::string* why) override;

private:
    // The frames' own sound. Stored at 48000 Hz, resampled from the board's
    // 32728: the clock correction resamples anyway, so the common rate costs
    // nothing more, and editors and encoders that take only the usual rates
    // (AAC, Opus) open the file as it is.
    HRESULT renderFrameSound(FrameSound& frames);

    // Streaming thread (or the UI thread once it has ended): finished board sound.
    void samples(const int16_t* data, int32_t frames) override;
    void placeBoardSound();
    bool inGraph(const Filter& f) const;

    // Any thread. The first failure is the one reported.
    void fail(const std::string& why);

    // ---- The compressor's input (streaming thread after the connection) ----

    HRESULT CheckType(const MediaType& type) override;
    HRESULT ReceiveConnection(const MediaType& type) override;
    HRESULT Receive(MediaSample& sample) override;
    HRESULT EndOfStream() override;
    void flushEncoder();
    HRESULT encode(AVFrame* frame);

    // Either thread; the muxer's one lock, with no other lock of ours held.
    bool writePacket(AVPacket* packet);

    // ---- Sound (SDL's capture thread) ----

    static void SDLCALL audioCallback(void* user, Uint8* stream, int length);
    void onAudio(const uint8_t* bytes, int length);
    void writeAudio(AVPacket* packet, int64_t samples);

    // UI thread while building and stopping.
    std::string fileName_;
    std::unique_ptr<AVFormatContext, FormatContextDeleter> oc_;
    std::vector<std::pair<std::string, std::shared_ptr<Filter>>> filters_;
    Filter* source_ = nullptr;
    OutputPin* pin_ = nullptr;
    FfmpegVideoCompressor* compressor_ = nullptr;  // one of these two
    Video1Compressor* video1Compressor_ = nullptr;
    bool headerWritten_ = false;
    std::chrono::steady_clock::time_point lastFileCheck_{};
    std::atomic<FilterState> state_{FilterState::Stopped};

    // Video: set up at connection, then streaming thread only (or the UI
    // thread once the streaming thread has ended).
    CodecContextPtr enc_;  // FFmpeg's encoder, or
    Video1Track video1_;   // ours, when video1Open_
    bool video1Open_ = false;
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
    // When the device last gave sound (system clock); the UI thread watches it.
    std::atomic<int64_t> lastSoundAt_{0};
    // Set by the UI thread once the device is given up: what it gives after
    // that stays out of the file, which would otherwise put it late.
    std::atomic<bool> soundCut_{false};

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

}  // namespace media
