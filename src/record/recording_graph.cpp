// The recording graph: capture source, video compressor, optional sound,
// one AVI file. Everything here runs on the UI thread.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/debug_log.h"
#include "base/steady_clock.h"
#include "display/decode.h"
#include "record/capture_filter.h"
#include "record/recording.h"
#include "settings/settings.h"

namespace {

// The recorder state: a recording exists while graph and app are present.
struct Recorder {
    std::shared_ptr<media::Graph> graph;  // keeps every filter of the graph alive
    std::shared_ptr<DSFilter> app;
    char fileName[32] = {};
    uint32_t lastStatusTime = 0;  // ms; 0 = never
    uint32_t lastStatusSize = 0;  // kB
    std::string failure;          // why the last recording stopped by itself
    std::string soundNote;        // why the recording has no sound, when it should have
};
Recorder recorder;
CodecDialogHook codecDialogHook = nullptr;

uint32_t timeMs() { return static_cast<uint32_t>(steadyMs()); }

const DisplayLayout& recordedLayout() {
    uint32_t type = settings.displayType;
    return displayTypeTable[type < kDisplayTypeCount && type > 0 ? type : 1];
}

// A running graph that failed is taken down here, on the UI thread.
void checkFailure() {
    std::string why;
    if (!recorder.graph || !recorder.app || !recorder.graph->failed(&why)) return;
    stopRecordingGraph();
    recorder.failure = why.empty() ? "recording failed" : why;
}

}  // namespace

void setCodecDialogHook(CodecDialogHook hook) { codecDialogHook = hook; }

std::string recordingFailure() { return recorder.failure; }

std::string recordingSoundNote() { return recorder.soundNote; }

// ---- Devices ------------------------------------------------------------------

std::shared_ptr<media::Filter> findDevice(const char* name, media::Category category, const DeviceVisitor& visitor) {
    for (const media::Moniker& moniker : media::enumerateCategory(category)) {
        if (moniker.friendlyName.empty()) continue;
        if (auto filter = visitor(moniker, moniker.friendlyName, name)) return filter;
    }
    return nullptr;
}

std::shared_ptr<media::Filter> visitByName(const media::Moniker& moniker, const std::string& friendlyName,
                                           const char* name) {
    if (!name || friendlyName != name) return nullptr;
    return moniker.BindToObject();
}

std::shared_ptr<media::Filter> visitFirstDevice(const media::Moniker& moniker, const std::string&, const char*) {
    return moniker.BindToObject();
}

std::shared_ptr<media::VideoCompressor> getFilter(const std::string& name) {
    auto compressor = std::dynamic_pointer_cast<media::VideoCompressor>(
        findDevice(name.c_str(), media::Category::VideoCompressor, visitByName));
    if (!compressor) return nullptr;
    if (name != fieldToUtf8(settings.videoCodec)) return compressor;

    double defaultQuality = 0;
    int32_t caps = 0;
    if (compressor->GetInfo(&defaultQuality, &caps) == S_OK && (caps & media::CompressionCaps_CanQuality))
        compressor->put_Quality(settings.videoQuality);

    int32_t size = settings.videoCodecSettingsSize;
    if (size > 0 && static_cast<size_t>(size) <= videoCodecSettings.size()) {
        int32_t ignored = 0;
        compressor->GetState(nullptr, &ignored);
        HRESULT hr = compressor->SetState(videoCodecSettings.data(), size);
        uint32_t first = 0;
        std::memcpy(&first, videoCodecSettings.data(), std::min<size_t>(4, static_cast<size_t>(size)));
        debugPrintf("getFilter:SetState(%08X.., %d)=%X\n", first, size, static_cast<unsigned>(hr));
    }
    return compressor;
}

// ---- Start and stop -------------------------------------------------------------

bool startRecordingGraph(const char* fileName) {
    recorder.lastStatusTime = 0;
    recorder.lastStatusSize = 0;
    stopRecordingGraph();
    recorder.failure.clear();
    recorder.soundNote.clear();
    std::snprintf(recorder.fileName, sizeof recorder.fileName, "%s", fileName ? fileName : "");

    bool result = [&] {
        std::shared_ptr<media::Graph> graph = media::createGraph();
        if (!graph || graph->SetOutputFileName(recorder.fileName) != S_OK) return false;
        recorder.graph = graph;
        // Held here too: the codec dialog below runs a message loop in which
        // the window may stop (and drop) this half-built recording.
        media::Graph& g = *graph;

        std::shared_ptr<DSFilter> source = DSFilter::CreateInstance();
        if (!source || g.AddFilter(source, "videoSource") != S_OK) return false;
        recorder.app = source;

        const DisplayLayout& row = recordedLayout();
        switch (settings.recordScreens) {
            case 1: source->setRegion(row.topWidth, row.topHeight, 0); break;
            case 2: source->setRegion(row.bottomWidth, row.bottomHeight, row.bottomOffset); break;
            default: source->setRegion(row.imageWidth, row.imageHeight, 0); break;
        }

        const std::string codec = fieldToUtf8(settings.videoCodec);
        std::shared_ptr<media::VideoCompressor> compressor = getFilter(codec);
        if (!compressor) {
            if (!codecDialogHook || codecDialogHook() <= 0 || recorder.graph != graph ||
                !(compressor = getFilter(fieldToUtf8(settings.videoCodec)))) {
                debugPrintf("getVideoCompressor() failed\n");
                return false;
            }
        }
        if (g.AddFilter(compressor, "videoCompressor") != S_OK) {
            debugPrintf("addFilter(videoCompressor) failed\n");
            return false;
        }
        if (FAILED(g.RenderVideo(*source, *compressor))) {
            debugPrintf("renderStream(video) failed\n");
            return false;
        }

        // The board's own sound is the first recording source: no stored
        // name means it.
        const std::string wanted = fieldToUtf8(settings.recordingSource);
        std::shared_ptr<media::Filter> audioSource =
            wanted.empty() || wanted == kBoardSoundSource
                ? std::shared_ptr<media::Filter>(source)
                : findDevice(wanted.c_str(), media::Category::AudioInput, visitByName);
        std::shared_ptr<media::Filter> audioCompressor =
            findDevice("PCM", media::Category::AudioCompressor, visitByName);
        if (audioSource == source) {
            if (FAILED(g.RenderAudio(*source, nullptr))) {
                debugPrintf("RenderStream(board sound) failed\n");
                recorder.soundNote = std::string("no sound: ") + kBoardSoundSource + " could not be opened";
            }
        } else if (!audioSource) {
            debugPrintf("getAudioSource failed\n");
        } else {
            if (audioCompressor && g.AddFilter(audioCompressor, "audioCompressor") != S_OK) {
                debugPrintf("AddFilter(audioCompressor) failed\n");
                return false;
            }
            if (g.AddFilter(audioSource, "audioSource") != S_OK) {
                debugPrintf("AddFilter(audioSource) failed\n");
                return false;
            }
            // A broken microphone costs the sound, not the recording.
            if (FAILED(g.RenderAudio(*audioSource, audioCompressor.get()))) {
                debugPrintf("RenderStream(audio) failed\n");
                recorder.soundNote = "no sound: " + audioSource->friendlyName() + " could not be opened";
            }
        }

        if (FAILED(g.Run())) {
            debugPrintf("pControl->Run() failed\n");
            return false;
        }
        return true;
    }();

    if (!result) {
        // The media layer's reason (a folder that takes no files, a
        // compressor that refuses the size), else the plain stopped form.
        std::string why;
        if (recorder.graph) recorder.graph->failed(&why);
        stopRecordingGraph();
        recorder.failure = why;
        recorder.soundNote.clear();
    }
    return result;
}

void stopRecordingGraph() {
    // The source's streaming thread may be waiting for a frame: only stop()
    // ends that wait, so it comes before the graph stops.
    if (recorder.app) recorder.app->stop();
    if (recorder.graph) {
        recorder.graph->Stop();
        std::string why;
        // Completing the file can fail too (a full disk).
        if (recorder.failure.empty() && recorder.graph->failed(&why)) recorder.failure = why;
    }
    recorder.app.reset();
    recorder.graph.reset();
}

// ---- Status -------------------------------------------------------------------

std::string formatRecordingStatus() {
    checkFailure();
    const std::string folder = fieldToUtf8(settings.outputFolder);
    char text[520];
    if (!recorder.failure.empty())
        std::snprintf(text, sizeof text, "%s%s\nStopped: %s.", folder.c_str(), recorder.fileName,
                      recorder.failure.c_str());
    else
        std::snprintf(text, sizeof text, "%s%s\nStopped.", folder.c_str(), recorder.fileName);
    if (!recorder.graph || !recorder.app || recorder.graph->GetState() != media::FilterState::Running) return text;

    int64_t t = 0;
    recorder.app->getStat(kStatStreamTime, &t);
    uint32_t seconds = static_cast<uint32_t>(t / 10000000);
    uint32_t hours = seconds / 3600, minutes = (seconds / 60) % 60, secs = seconds % 60;
    if (t == 0) t = 1;
    uint32_t kilobytes = static_cast<uint32_t>(recorder.graph->GetCurrentPosition() / 1024);
    int64_t delivered = 0;
    recorder.app->getStat(kStatFramesDelivered, &delivered);
    float fps = static_cast<float>(static_cast<double>(delivered) * 10000000.0 / static_cast<double>(t));
    uint32_t now = timeMs();
    uint32_t rate = 0;
    if (recorder.lastStatusTime != 0 && now != recorder.lastStatusTime)
        rate = ((kilobytes - recorder.lastStatusSize) * 1000) / (now - recorder.lastStatusTime);
    recorder.lastStatusSize = kilobytes;
    recorder.lastStatusTime = now;
    std::string lost;
    if (recorder.soundNote.empty() && recorder.graph->soundLost(&lost)) recorder.soundNote = "no sound: " + lost;
    std::snprintf(text, sizeof text, "%s%s\n%02u:%02u:%02u, %u MB (%u kB/s), %.2f FPS%s%s", folder.c_str(),
                  recorder.fileName, hours, minutes, secs, kilobytes / 1024, rate, static_cast<double>(fps),
                  recorder.soundNote.empty() ? "" : ", ", recorder.soundNote.c_str());
    return text;
}

IKestrelCaptureApp* recordingApp() {
    checkFailure();
    return recorder.app.get();
}

bool recordingRunning() {
    checkFailure();
    return recorder.graph && recorder.app && recorder.graph->GetState() == media::FilterState::Running;
}

int64_t recordingSeconds() {
    if (!recordingRunning()) return -1;
    int64_t t = 0;
    recorder.app->getStat(kStatStreamTime, &t);
    return t / 10000000;
}
