#include "record/ffmpeg/avi_graph.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

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

// The board sound's rate in the file: see the note at renderFrameSound.
constexpr int kBoardSoundRate = 48000;
// The longest a stop waits for the frames queued before it.
constexpr auto kDrainWait = std::chrono::seconds(2);
// A capture device gives sound every few tens of milliseconds; one that
// has given none for this long is taken as failed (the muxer holds the
// picture back for as long waiting for it).
constexpr int64_t kSoundSilence = 2 * 10000000;

}  // namespace

std::string avError(const char* what, int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return std::string(what) + " (" + buf + ")";
}

AviGraph::~AviGraph() { Stop(); }

HRESULT AviGraph::SetOutputFileName(const std::string& fileName) {
    AVFormatContext* oc = nullptr;
    if (fileName.empty() || avformat_alloc_output_context2(&oc, nullptr, "avi", fileName.c_str()) < 0)
        return E_FAIL;
    oc_.reset(oc);
    oc_->max_interleave_delta = 2000000;  // a silent sound device holds video back at most 2 s
    fileName_ = fileName;
    return S_OK;
}

HRESULT AviGraph::AddFilter(std::shared_ptr<Filter> filter, const std::string& name) {
    if (!filter) return E_POINTER;
    for (auto& [n, f] : filters_)
        if (n == name || f == filter) return E_FAIL;
    filters_.emplace_back(name, std::move(filter));
    return S_OK;
}

HRESULT AviGraph::RenderVideo(Filter& source, Filter& compressor) {
    if (!oc_ || enc_ || video1Open_ || !inGraph(source) || !inGraph(compressor)) return E_FAIL;
    auto* video = dynamic_cast<FfmpegVideoCompressor*>(&compressor);
    auto* ours = dynamic_cast<Video1Compressor*>(&compressor);
    OutputPin* capture = nullptr;
    for (int i = 0; i < source.pinCount(); ++i)
        if (source.pin(i) && source.pin(i)->isCapturePin()) capture = source.pin(i);
    if ((!video && !ours) || !capture) return E_FAIL;
    compressor_ = video;
    video1Compressor_ = ours;
    HRESULT hr = capture->Connect(this);
    if (FAILED(hr)) {
        compressor_ = nullptr;
        video1Compressor_ = nullptr;
        return hr;
    }
    source_ = &source;
    pin_ = capture;
    return S_OK;
}

HRESULT AviGraph::RenderAudio(Filter& audioSource, Filter* audioCompressor) {
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

HRESULT AviGraph::Run() {
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

HRESULT AviGraph::Stop() {
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

bool AviGraph::failed(std::string* why) {
    // A capture device that went away or stopped giving sound ends the
    // sound, not the recording; the status line says so. One that stopped
    // (its driver reported the loss) is closed now; one that hangs may be
    // stuck in its driver, so it is only cut off here and closed at the end.
    if (device_ && state_.load() == FilterState::Running && soundLost_.empty()) {
        const int64_t last = std::max(lastSoundAt_.load(), tStart_.load());
        if (SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED) {
            soundCut_.store(true);
            SDL_CloseAudioDevice(device_);
            device_ = 0;
            soundLost_ = deviceName_ + " stopped";
        } else if (systemClock().GetTime() - last > kSoundSilence) {
            soundCut_.store(true);
            soundLost_ = deviceName_ + " stopped giving sound";
        }
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

bool AviGraph::soundLost(std::string* why) {
    if (soundLost_.empty()) return false;
    if (why) *why = soundLost_;
    return true;
}

HRESULT AviGraph::renderFrameSound(FrameSound& frames) {
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

bool AviGraph::inGraph(const Filter& f) const {
    for (auto& [n, p] : filters_)
        if (p.get() == &f) return true;
    return false;
}

void AviGraph::fail(const std::string& why) {
    if (failClaimed_.exchange(true)) return;
    why_ = why;
    failed_.store(true, std::memory_order_release);
}

std::unique_ptr<Graph> createGraph() {
    // Encoder and muxer chatter (deprecated JPEG ranges and the like) stays
    // off the terminal; failures reach the status line instead.
    av_log_set_level(AV_LOG_ERROR);
    return std::make_unique<AviGraph>();
}

}  // namespace media
