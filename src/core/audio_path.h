#pragma once
// The audio path: the board's sound through a small lock-free ring to the
// audio engine's pull callback.
#include <cstdint>
#include <string>
#include <vector>

#include "core/audio_engine.h"

class AudioRing;

// Reader thread: one frame's audio bytes (count may be 0 for a skipped read).
void pushAudio(const uint8_t* bytes, int32_t count);
// UI thread: (re)starts the output on the device named in settings.outputDevice.
bool startAudio();
// UI thread: clamps to 100 (unsigned compare), applies and stores settings.volume.
void setVolume(int percent);
// UI thread: the output's current volume (1.0 = full); 0 when there is none.
float audioVolume();
// UI thread at shutdown: releases the engine.
void stopAudio();

// UI thread, before the first startAudio: how to make the engine.
void setAudioEngineFactory(audio::AudioEngineFactory factory);
// UI thread: display names of the output devices; empty without an engine.
std::vector<std::string> audioOutputDevices();
// Any thread: the output's latency in samples, -1 while there is no output.
int32_t audioLatencySamples();
// Any thread: how long sound pushed now takes to be heard, as far as we can
// see, in ms: what the last pass handed to the device and it has not yet
// played, plus the ring's backlog. -1 while there is no output. nowNs: the
// steady clock in nanoseconds.
int32_t audioLatencyMs(int64_t nowNs);
int32_t audioLatencyMs();

// For tests: the ring itself, and the pass the engine's callback runs.
AudioRing& audioRing();
const uint8_t* audioPass(uint32_t bytesRequired);
