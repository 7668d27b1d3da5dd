// libFuzzer harness for everything the board sends: the configuration and
// version reply when a board is opened, the frame transfers (empty, short,
// long, odd, failing, over-reported), the sound behind the picture, and the
// picture itself through the decoder. The real device link, reader pass,
// audio path and decoder run on a USB interface whose answers come from the
// fuzz input. Invariants checked after every pass:
//  - a skipped read counts one skip and its buffer is back in the free queue;
//  - an error frame counts one error, is black and carries no sound;
//  - a delivered frame's sound lies inside the frame storage (what every
//    consumer of it is sized for), in whole sample frames;
//  - at the end all twelve buffers are back in the pool with no holder.
// ASan and UBSan catch any access outside a buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/audio_path.h"
#include "core/capture_core.h"
#include "core/device.h"
#include "core/link_stats.h"
#include "display/decode.h"
#include "settings/settings.h"
#include "base/debug_log.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// The fuzz input, read front to back; past its end every read is 0.
class Script {
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return used_ >= size_; }
    uint8_t u8() { return used_ < size_ ? data_[used_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    // Copies up to n input bytes into out; returns how many.
    size_t copy(uint8_t* out, size_t n) {
        const size_t k = std::min(n, size_ - std::min(used_, size_));
        if (k) std::memcpy(out, data_ + used_, k);
        used_ += k;
        return k;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

// A board whose every answer comes from the script. Once the script runs
// out the board is gone, as after an unplug.
class ScriptedInterface final : public usb::Interface {
public:
    explicit ScriptedInterface(Script& script) : script_(script) {}

    bool setPipeTimeout(uint8_t, uint32_t) override { return alive(); }
    bool setRawIo(uint8_t, bool) override { return alive(); }

    bool controlTransfer(const usb::SetupPacket& setup, uint8_t* data, uint32_t length,
                         uint32_t* transferred) override {
        *transferred = 0;
        if (!alive()) return false;
        const uint8_t op = script_.u8();
        switch (op & 3) {
            case 0:
            case 1: *transferred = length; break;
            case 2: *transferred = script_.u8() % (length + 1); break;  // short
            default: return fail(op >> 2);
        }
        if ((setup.bmRequestType & 0x80) && data) {
            const size_t got = script_.copy(data, *transferred);
            std::memset(data + got, op, *transferred - got);
        }
        return true;
    }

    bool readPipe(uint8_t, uint8_t* data, uint32_t length, uint32_t* received) override {
        *received = 0;
        if (!alive()) return false;
        const uint8_t op = script_.u8();
        uint32_t count = 0;
        bool ok = true;
        switch (op & 7) {
            case 0: count = length; break;                                  // as much as asked
            case 1: count = 0; break;                                        // an empty packet
            case 2: count = script_.u16(); break;                            // short, maybe odd
            case 3: count = static_cast<uint32_t>(script_.u16()) * 16; break;  // up to a megabyte
            case 4: count = length - std::min<uint32_t>(length, script_.u16() % 1024); break;
            case 5: ok = false; count = script_.u16(); break;                // failed part-way
            case 6: ok = false; break;                                       // timed out
            default: count = length + script_.u8() + 1; break;               // claims more than asked
        }
        // The bytes land only inside what was asked for, as the USB stack
        // guarantees; the count reported may still be anything.
        const uint32_t written = std::min(count, length);
        const size_t got = script_.copy(data, std::min<uint32_t>(written, 64));
        std::memset(data + got, op, written - got);
        *received = count;
        if (!ok) return fail(op >> 3);
        return true;
    }

private:
    bool alive() {
        if (!script_.empty()) return true;
        usb::setLastError(usb::kErrorNoDevice);
        return false;
    }
    bool fail(uint8_t why) {
        static const uint32_t reasons[] = {usb::kErrorSemTimeout, usb::kErrorNoDevice, usb::kErrorGenFailure,
                                           usb::kErrorBusy};
        usb::setLastError(reasons[why & 3]);
        return false;
    }
    Script& script_;
};

class ScriptedBackend final : public usb::Backend {
public:
    Script* script = nullptr;
    unsigned paths = 1;
    unsigned openFailures = 0;  // bit i: opening path i fails

    std::vector<std::string> enumerate(const usb::Guid&) override {
        std::vector<std::string> found;
        for (unsigned i = 0; i < paths; ++i) found.push_back("/dev/bus/usb/001/00" + std::to_string(i + 2));
        return found;
    }
    std::unique_ptr<usb::Interface> open(const std::string& path) override {
        const unsigned index = static_cast<unsigned>(path.back() - '2');
        if (openFailures & (1u << index)) {
            usb::setLastError(usb::kErrorAccessDenied);
            return nullptr;
        }
        return std::make_unique<ScriptedInterface>(*script);
    }
    void setArrivalHandler(usb::ArrivalHandler) override {}
};

// The UI side: takes each frame or refuses it, and keeps up to two as the
// screen windows do.
class ScriptedHost final : public CoreHost {
public:
    bool refuse = false;
    FrameBuffer* posted = nullptr;
    bool postFrameReady(FrameBuffer* frame) override {
        if (refuse) return false;
        posted = frame;
        return true;
    }
    int runFirmwareUpdate() override { return 1; }
    void postClose() override {}
    void postDeviceArrival(const usb::Guid&) override {}
};

// An output that never runs a pass of its own; the harness pulls instead.
class QuietOutput final : public audio::AudioOutput {
public:
    bool start() override { return true; }
    void setVolume(float v) override { volume_ = v; }
    float volume() const override { return volume_; }
    int32_t latencySamples() const override { return 1024; }

private:
    float volume_ = 1.0f;
};
class QuietEngine final : public audio::AudioEngine {
public:
    std::vector<std::string> outputDevices() override { return {}; }
    std::unique_ptr<audio::AudioOutput> openOutput(int, audio::VoiceSource&) override {
        return std::make_unique<QuietOutput>();
    }
};
std::unique_ptr<audio::AudioEngine> makeQuietEngine() { return std::make_unique<QuietEngine>(); }

ScriptedBackend backend;

void setUpOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    for (FrameBuffer& buffer : framePool.buffers)
        buffer.videoStorage = new uint8_t[kVideoStorageAllocBytes];  // exactly as the pool allocates
    kestrelDevice.setBackend(&backend);
    setAudioEngineFactory(makeQuietEngine);
}

bool isBlack(const uint8_t* bytes, size_t n) {
    static const std::vector<uint8_t> black(kFrameVideoBytes);
    return std::memcmp(bytes, black.data(), n) == 0;
}

constexpr int kMaxPasses = 12;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setUpOnce();
    Script script(data, size);
    backend.script = &script;

    const uint8_t header = script.u8();
    backend.paths = header & 3;
    backend.openFailures = (header >> 2) & 7;
    debugConsoleOpen = (header & 0x20) != 0;  // the console's checks of sound and picture run too
    const bool withSound = (header & 0x40) != 0;
    settings.displayType = script.u8() % 10;  // 0, 8 and 9 are not display types

    linkStats.clear();
    resetFramePool();
    if (withSound && !startAudio()) broken("the quiet engine did not start");
    connectDevice(nullptr);  // the configuration and version reply

    ScriptedHost host;
    std::vector<FrameBuffer*> held;  // what the "screen windows" keep
    FrameQueue& freeQueue = framePool.freeQueue;
    ReadRun run;
    bool decoded = false;
    for (int pass = 0; pass < kMaxPasses && !script.empty(); ++pass) {
        const uint8_t step = script.u8();
        if ((step & 0xC0) == 0xC0) connectDevice(nullptr);  // unplugged and back: a new reply
        host.refuse = (step & 0x3C) == 0x3C;

        if (!freeQueue.semaphore.try_acquire()) {
            // Every buffer is held: the windows move on, as they do.
            for (FrameBuffer* frame : held) release(frame);
            held.clear();
            if (!freeQueue.semaphore.try_acquire()) broken("no buffer came back to the pool");
        }
        FrameBuffer* buffer = freeQueue.pop();
        const int32_t skips = linkStats.skips;
        const int32_t errors = linkStats.errors;
        const int32_t queued = freeQueue.size();
        host.posted = nullptr;

        const int status = readIntoBuffer(host, buffer, run);

        if (status == FRAME_SKIP) {
            if (linkStats.skips != skips + 1 || linkStats.errors != errors) broken("a skip not counted once");
            if (freeQueue.size() != queued + 1 || host.posted) broken("a skipped buffer not back in the pool");
            continue;
        }
        if (linkStats.skips != skips) broken("a delivered frame counted as a skip");
        if (buffer->status != status) broken("the frame's status is not the one returned");
        if (status == FRAME_ERROR) {
            if (linkStats.errors != errors + 1) broken("an error not counted once");
            if (buffer->audioLength != 0) broken("an error frame with sound");
            if (!isBlack(buffer->videoStorage, kFrameVideoBytes)) broken("an error frame not black");
        } else if (status == FRAME_OK) {
            if (linkStats.errors != errors) broken("a good frame counted as an error");
            if (buffer->audioData != buffer->videoStorage + kFrameVideoBytes) broken("sound not behind the picture");
            if (buffer->audioLength < 0 || buffer->audioLength % 4 != 0 ||
                buffer->audioLength > static_cast<int32_t>(kVideoStorageBytes - kFrameVideoBytes))
                broken("sound length past the frame storage or not whole sample frames");
        } else {
            broken("an unknown status delivered");
        }

        if (host.refuse) {
            if (host.posted || freeQueue.size() != queued + 1) broken("a refused frame not back in the pool");
        } else {
            if (host.posted != buffer) broken("a frame neither delivered nor returned");
            // The dispatch: decode, then the screen windows take it over.
            // The picture's bytes never steer the decoder, so one frame in
            // four (and the first) is decoded: the time goes to the link.
            if (!decoded || (step & 6) == 0) decodeFrame(buffer);
            decoded = true;
            buffer->refCount = 1;
            held.push_back(buffer);
            if (held.size() > 2 || (step & 1)) {
                release(held.front());
                held.erase(held.begin());
            }
        }
        if (withSound) (void)audioPass((script.u8() * 36u) & ~3u);  // the engine's thread pulls
    }

    for (FrameBuffer* frame : held) release(frame);
    stopAudio();
    {
        std::lock_guard<std::mutex> lock(deviceLock);
        currentDevice()->close();
        setCurrentDevice(&nullDevice);
    }
    if (freeQueue.size() != kPoolSize) broken("a buffer lost from the pool");
    for (FrameBuffer& buffer : framePool.buffers)
        if (buffer.refCount != 0) broken("a buffer still held");
    return 0;
}
