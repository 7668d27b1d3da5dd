#pragma once
// What the control window uses of recording: start, stop, the status text,
// and the capture source filter's frame intake.
#include <cstdint>
#include <string>

#include "core/frame_buffer.h"

using HRESULT = int32_t;

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

// startRecordingGraph shows the video codec dialog when the named compressor
// is missing; the UI installs the dialog (result > 0 = confirmed).
using CodecDialogHook = int (*)();
void setCodecDialogHook(CodecDialogHook hook);
