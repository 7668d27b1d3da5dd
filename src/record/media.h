#pragma once
// The media layer: what recording needs of a media framework, as plain types.
// Device lists by friendly name, video compressors with quality and an opaque
// state block, and a graph that writes a live RGB source (and optionally a
// sound capture device) into one AVI file. The implementation lives in
// record/ffmpeg/; the capture source side (record/source_stream.h) is
// platform-free and reaches the graph only through the abstract classes here.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/hresult.h"
#include "record/sound_tap.h"

namespace media {

// ---- Media types -----------------------------------------------------------

enum class MajorType : int32_t { None, Video, Audio };
enum class SubType : int32_t { None, RGB24, RGB32, PCM };
enum class FormatType : int32_t { None, VideoInfo, WaveFormatEx };

struct Rect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool empty() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
};

struct BitmapInfoHeader {
    uint32_t biSize = 0;
    int32_t biWidth = 0;
    int32_t biHeight = 0;  // positive: rows bottom-up
    uint16_t biPlanes = 0;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;  // 0: uncompressed RGB
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

struct VideoInfoHeader {
    Rect rcSource;
    Rect rcTarget;
    uint32_t dwBitRate = 0;
    uint32_t dwBitErrorRate = 0;
    int64_t AvgTimePerFrame = 0;  // 100 ns units
    BitmapInfoHeader bmiHeader;
};

// A media type with at most one format block (a video info header).
struct MediaType {
    MajorType majortype = MajorType::None;
    SubType subtype = SubType::None;
    bool bFixedSizeSamples = false;
    bool bTemporalCompression = false;
    uint32_t lSampleSize = 0;
    FormatType formattype = FormatType::None;
    bool hasFormat = false;  // the format block is present
    VideoInfoHeader format;

    // Frees the format block.
    void clear() { *this = MediaType{}; }
    VideoInfoHeader* videoInfo() { return hasFormat ? &format : nullptr; }
    const VideoInfoHeader* videoInfo() const { return hasFormat ? &format : nullptr; }
};

// ---- Samples and their allocator -------------------------------------------

struct AllocatorProperties {
    int32_t cBuffers = 0;
    int32_t cbBuffer = 0;
    int32_t cbAlign = 0;
    int32_t cbPrefix = 0;
};

// One buffer of the negotiated size with its time stamps.
class MediaSample {
public:
    MediaSample(uint8_t* data, int32_t size) : data_(data), size_(size), actualLength_(size) {}
    HRESULT GetPointer(uint8_t** data) const {
        if (!data) return E_POINTER;
        *data = data_;
        return S_OK;
    }
    int32_t GetSize() const { return size_; }
    int32_t GetActualDataLength() const { return actualLength_; }
    HRESULT SetTime(const int64_t* start, const int64_t* end) {
        timeValid_ = start != nullptr;
        if (start) start_ = *start;
        end_ = end ? *end : start_ + 1;
        return S_OK;
    }
    // S_OK when the sample carries a time.
    HRESULT GetTime(int64_t* start, int64_t* end) const {
        if (!timeValid_) return VFW_E_SAMPLE_TIME_NOT_SET;
        *start = start_;
        *end = end_;
        return S_OK;
    }
    HRESULT SetSyncPoint(bool sync) {
        syncPoint_ = sync;
        return S_OK;
    }
    bool IsSyncPoint() const { return syncPoint_; }
    // Before a sample is filled again.
    void reset() {
        timeValid_ = false;
        syncPoint_ = false;
        actualLength_ = size_;
    }

    static constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = static_cast<HRESULT>(0x80040249);

private:
    uint8_t* data_;
    int32_t size_;
    int32_t actualLength_;
    int64_t start_ = 0;
    int64_t end_ = 0;
    bool timeValid_ = false;
    bool syncPoint_ = false;
};

// The buffers a connection agreed on. SetProperties allocates them.
class MemAllocator {
public:
    virtual ~MemAllocator() = default;
    virtual HRESULT SetProperties(const AllocatorProperties& request, AllocatorProperties* actual) = 0;
};

// ---- Filters, pins, clock --------------------------------------------------

enum class FilterState : int32_t { Stopped = 0, Paused = 1, Running = 2 };

// The graph's clock, 100 ns units.
class ReferenceClock {
public:
    virtual ~ReferenceClock() = default;
    virtual int64_t GetTime() = 0;
};

// The downstream side of a connection: a compressor's input.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    // Whether the input takes this type (called while connecting).
    virtual HRESULT CheckType(const MediaType& type) = 0;
    // The type agreed on; the input prepares for it (a failure refuses it).
    virtual HRESULT ReceiveConnection(const MediaType& type) = 0;
    // Streaming thread. A failure ends the stream.
    virtual HRESULT Receive(MediaSample& sample) = 0;
    virtual HRESULT EndOfStream() = 0;
};

// An output pin that pushes samples to a SampleSink.
class OutputPin {
public:
    virtual ~OutputPin() = default;
    virtual bool isCapturePin() const = 0;
    // Negotiates a type and the buffers, then keeps the sink as its peer.
    virtual HRESULT Connect(SampleSink* sink) = 0;
    virtual HRESULT Disconnect() = 0;
    // The stream has ended (end-of-stream delivered) since the last start.
    virtual bool streamEnded() const { return true; }
};

enum class Category : int32_t { VideoCompressor, AudioCompressor, AudioInput, Source };

// Anything that can join a graph.
class Filter {
public:
    virtual ~Filter() = default;
    virtual Category category() const = 0;
    virtual std::string friendlyName() const = 0;
    // State changes; a source filter runs its streaming thread in between.
    virtual HRESULT Stop() { return S_OK; }
    virtual HRESULT Pause() { return S_OK; }
    virtual HRESULT Run(int64_t /*tStart*/) { return S_OK; }
    virtual HRESULT SetSyncSource(ReferenceClock* /*clock*/) { return S_OK; }
    virtual int pinCount() { return 0; }
    virtual OutputPin* pin(int /*index*/) { return nullptr; }
};

// ---- Sound that comes with the video source's frames ------------------------

// A source whose frames carry their own sound (16-bit stereo at kSampleRate).
// The graph opens the tap before the run and empties it on its streaming thread.
class FrameSound {
public:
    static constexpr int kSampleRate = 32728;
    virtual ~FrameSound() = default;
    // Allocates the tap (once); frames offered from now on leave their sound in it.
    virtual SoundTap* openSoundTap() = 0;
    // How much later on the recording's time line the picture of a frame
    // lands than the frame arrived (100 ns); false while not yet known.
    virtual bool videoLead(int64_t* lead) const = 0;
};

// ---- Video compressors -----------------------------------------------------

// A setting of a compressor that its configuration box edits. With choices it
// is one of them; without, a whole number in minValue..maxValue.
struct CompressorOption {
    std::string key;
    std::string label;
    std::vector<std::string> choices;
    int32_t minValue = 0;
    int32_t maxValue = 0;
    std::string value;
};

enum CompressionCaps : int32_t { CompressionCaps_CanQuality = 1 };

class VideoCompressor : public Filter {
public:
    Category category() const override { return Category::VideoCompressor; }
    // Capabilities and the default quality (0..1; only meaningful with CanQuality).
    virtual HRESULT GetInfo(double* defaultQuality, int32_t* capabilities) = 0;
    virtual HRESULT get_Quality(double* quality) = 0;
    virtual HRESULT put_Quality(double quality) = 0;
    // The compressor's settings as an opaque block. With no buffer, *size
    // receives the block's size; with a buffer of *size bytes it is filled.
    virtual HRESULT GetState(uint8_t* buffer, int32_t* size) = 0;
    // A block that is not one of this compressor's is refused (E_INVALIDARG)
    // and nothing changes.
    virtual HRESULT SetState(const uint8_t* buffer, int32_t size) = 0;
    // For the configuration box.
    virtual std::vector<CompressorOption> options() = 0;
    virtual HRESULT setOption(const std::string& key, const std::string& value) = 0;
    virtual std::string aboutText() = 0;
};

// ---- Device enumeration ----------------------------------------------------

// One device of a category; bind it to get the filter.
struct Moniker {
    Category category = Category::VideoCompressor;
    std::string friendlyName;
    std::string deviceId;  // what the platform opens it by
    // The filter, or null when the device cannot be opened.
    std::shared_ptr<Filter> BindToObject() const;
};

// The devices of a category in a stable order (an empty list when none).
std::vector<Moniker> enumerateCategory(Category category);

// ---- The graph -------------------------------------------------------------

class Graph {
public:
    virtual ~Graph() = default;
    // The AVI file by name, relative to the current directory.
    virtual HRESULT SetOutputFileName(const std::string& fileName) = 0;
    // The graph keeps the filter alive. Names must be unique.
    virtual HRESULT AddFilter(std::shared_ptr<Filter> filter, const std::string& name) = 0;
    // Connects the source's capture pin through the compressor to the file.
    virtual HRESULT RenderVideo(Filter& source, Filter& compressor) = 0;
    // Adds the capture device's sound to the file, through the audio
    // compressor when there is one. A source that is a FrameSound (the video
    // source itself) gives the frames' own sound instead.
    virtual HRESULT RenderAudio(Filter& audioSource, Filter* audioCompressor) = 0;
    // Opens the file, starts the clock, the sound device and the source.
    virtual HRESULT Run() = 0;
    // Stops everything and completes the file; the source's stream must have
    // ended first (or it is asked to end).
    virtual HRESULT Stop() = 0;
    virtual FilterState GetState() = 0;
    // Bytes written to the file so far.
    virtual int64_t GetCurrentPosition() = 0;
    // Set when writing failed during the run (encoder, disk, device); the
    // text says why in a few words.
    virtual bool failed(std::string* why) = 0;
    // Set when the sound device failed during the run; the recording goes
    // on with its picture. The text names what happened.
    virtual bool soundLost(std::string* why) = 0;
};

std::unique_ptr<Graph> createGraph();

// The system clock in 100 ns units.
ReferenceClock& systemClock();

}  // namespace media
