#pragma once
// The audio engine on SDL2: each output is one SDL audio device opened for
// 16-bit stereo at 32728 Hz; SDL converts to the device's own format.
#include <memory>

#include "core/audio_engine.h"

namespace audio {

// Sample frames per callback. Small, so that latency stays low and the one
// frame of drift correction per pass can follow a board clock 0.5 % off.
constexpr int kSdlBufferFrames = 128;

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
