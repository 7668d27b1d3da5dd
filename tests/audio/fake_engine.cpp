#include "fake_engine.h"

FakeEngineState fake;

namespace {

class FakeOutput final : public audio::AudioOutput {
public:
    explicit FakeOutput(audio::VoiceSource& source) : source_(source) { ++fake.outputsAlive; }
    ~FakeOutput() override {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        --fake.outputsAlive;
    }
    bool start() override {
        if (fake.failStart) return false;
        if (fake.passThread) {
            running_ = true;
            thread_ = std::thread([this] {
                while (running_) {
                    ++fake.passes;
                    if (!source_.passStart(512)) ++fake.silentPasses;
                    std::this_thread::yield();
                }
            });
        }
        return true;
    }
    void setVolume(float volume) override { volume_ = volume; }
    float volume() const override { return volume_; }
    int32_t latencySamples() const override { return 128; }

private:
    audio::VoiceSource& source_;
    float volume_ = 1.0f;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

class FakeEngine final : public audio::AudioEngine {
public:
    FakeEngine() { ++fake.enginesMade, ++fake.enginesAlive; }
    ~FakeEngine() override { --fake.enginesAlive; }
    std::vector<std::string> outputDevices() override { return fake.devices; }
    std::unique_ptr<audio::AudioOutput> openOutput(int deviceIndex, audio::VoiceSource& source) override {
        if (fake.outputsAlive) fake.openedWhileAnotherAlive = true;
        fake.lastDeviceIndex = deviceIndex;
        if (fake.failOpen) return nullptr;
        return std::make_unique<FakeOutput>(source);
    }
};

}  // namespace

std::unique_ptr<audio::AudioEngine> makeFakeEngine() { return std::make_unique<FakeEngine>(); }
std::unique_ptr<audio::AudioEngine> makeNoEngine() { return nullptr; }
