#pragma once
// What the control window uses of recording: start, stop, the status text,
// and the capture source filter's frame intake.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/frame_buffer.h"
#include "record/hresult.h"
#include "record/media.h"

// What getStat reports.
enum RecordingStat : int32_t {
    kStatFramesDelivered = 0,
    kStatSlotsSkipped = 1,
    kStatStreamTime = 2,  // the last sample's time stamp, 100 ns units
};

// The capture source filter's application interface.
class IKestrelCaptureApp {
public:
    virtual HRESULT pushFrame(FrameBuffer* frame) = 0;
    virtual HRESULT getStat(int32_t kind, int64_t* value) = 0;
    virtual HRESULT setRegion(int32_t width, int32_t height, int32_t offset) = 0;
    virtual HRESULT stop() = 0;

protected:
    ~IKestrelCaptureApp() = default;
};

// UI thread. fileName is a bare name such as "00000.avi".
bool startRecordingGraph(const char* fileName);
void stopRecordingGraph();
// "%s%s\nStopped." or the running line with time, size, rate and FPS.
std::string formatRecordingStatus();
// The filter's interface while a recording graph exists, else null.
IKestrelCaptureApp* recordingApp();
// A graph exists and reports the running state (greys the display-type menu).
bool recordingRunning();
// The running recording's length in whole seconds, or -1 when none runs.
int64_t recordingSeconds();

// startRecordingGraph shows the video codec dialog when the named compressor
// is missing; the UI installs the dialog (result > 0 = confirmed).
using CodecDialogHook = int (*)();
void setCodecDialogHook(CodecDialogHook hook);

// A recording that fails while it runs (the compressor, a full disk or a
// vanished folder, a removed sound device) stops itself: the file is completed
// as far as it can be, the frames go back to the pool, recordingApp() becomes
// null and recordingRunning() false, and formatRecordingStatus() returns
// "<folder><file>\nStopped: <reason>." until the next start. The control
// window notices it on its status timer (recordingRunning() false while its
// record button is checked) and only needs to uncheck the button.
// The reason of the last failure, empty when the last recording ended normally.
// A start that fails for a reason the media layer knows (the file cannot be
// created, the compressor refuses) shows it the same way.
std::string recordingFailure();

// The Recording source list's first entry: the board's own sound, the frames'
// sound bytes. An empty stored source means it too.
constexpr const char* kBoardSoundSource = "Kestrel board sound";
// Set when the chosen sound could not be opened (or failed during the run)
// and the recording goes on with the picture alone: "no sound: <device> ...".
// The running status line carries it after the frame rate.
std::string recordingSoundNote();

// Device lookup by friendly name. The visitor gets each device of the
// category in order and returns a filter to end the search (null goes on).
using DeviceVisitor = std::function<std::shared_ptr<media::Filter>(
    const media::Moniker& moniker, const std::string& friendlyName, const char* name)>;
std::shared_ptr<media::Filter> findDevice(const char* name, media::Category category, const DeviceVisitor& visitor);
// The device whose friendly name equals name exactly.
std::shared_ptr<media::Filter> visitByName(const media::Moniker& moniker, const std::string& friendlyName,
                                           const char* name);
// The first device, whatever its name.
std::shared_ptr<media::Filter> visitFirstDevice(const media::Moniker& moniker, const std::string& friendlyName,
                                                const char* name);
// A video compressor by name; when name is settings.videoCodec it gets the
// saved quality and state block.
std::shared_ptr<media::VideoCompressor> getFilter(const std::string& name);
