#pragma once
// An audio engine for tests: a fixed device list, outputs that record what
// was asked of them, and optionally a thread that runs passes like a device.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/audio_engine.h"

struct FakeEngineState {
    std::vector<std::string> devices{"Speakers", "USB Headset", "speakers"};
    bool failOpen = false;
    bool failStart = false;
    bool passThread = false;  // outputs pull 512-byte passes on their own thread
    int enginesMade = 0;
    int enginesAlive = 0;
    int outputsAlive = 0;
    int lastDeviceIndex = -2;
    bool openedWhileAnotherAlive = false;
    std::atomic<uint64_t> passes{0};
    std::atomic<uint64_t> silentPasses{0};
};
extern FakeEngineState fake;

// The factory to install with setAudioEngineFactory.
std::unique_ptr<audio::AudioEngine> makeFakeEngine();
std::unique_ptr<audio::AudioEngine> makeNoEngine();
