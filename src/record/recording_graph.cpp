// The recording graph: capture source, video compressor, optional sound,
// one AVI file. Everything here runs on the UI thread.
#include "record/recording.h"

#include <cstdio>

#include "ui/settings.h"

namespace {
CodecDialogHook codecDialogHook = nullptr;
char recordingFileName[32] = {};
}  // namespace

void setCodecDialogHook(CodecDialogHook hook) { codecDialogHook = hook; }

bool startRecordingGraph(const char* fileName) {
    std::snprintf(recordingFileName, sizeof recordingFileName, "%s", fileName ? fileName : "");
    return false;
}

void stopRecordingGraph() {}

std::string formatRecordingStatus() {
    char text[520];
    std::snprintf(text, sizeof text, "%s%s\nStopped.", fieldToUtf8(settings.outputFolder).c_str(),
                  recordingFileName);
    return text;
}

IKestrelCaptureApp* recordingApp() { return nullptr; }

bool recordingRunning() { return false; }
