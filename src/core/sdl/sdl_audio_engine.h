#pragma once
// The audio engine on SDL2: each output is one SDL audio device opened for
// 16-bit stereo at 32728 Hz; SDL converts to the device's own format.
#include <memory>

#include "core/audio_engine.h"

namespace audio {

// Sample frames per callback (2 ms). The drift correction moves at most one
// sample frame per pass, and only on passes that find the backlog outside
// its band, so passes this short let it follow a board clock 0.5 % off
// without running the ring dry; the buffer also adds little latency.
constexpr int kSdlBufferFrames = 64;

// Initialises SDL's audio subsystem; nullptr when it has no working driver.
std::unique_ptr<AudioEngine> createSdlAudioEngine();

// What SDL granted for the most recently opened output (UI thread).
struct SdlOutputFormat {
    int frequency = 0;
    int channels = 0;
    int format = 0;        // SDL_AudioFormat
    int bufferFrames = 0;
};
SdlOutputFormat lastSdlOutputFormat();

}  // namespace audio

// The application's choice of sound output: makes startAudio use SDL.
// Call once on the UI thread before the first startAudio.
void installSdlAudioEngine();
