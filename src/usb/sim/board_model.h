#pragma once
// The simulated capture board: a behavioural model of the board behind the
// USB layer, good enough to run the application and its tests without
// hardware. BoardModel is the board itself; it is reached through one of two
// thin adapters: SimBoard (sim_board.h), an in-process Backend with one
// interface, "sim:0", of the board's interface class, and the usbdevfs
// emulation of the tests (tests/usbemu), which serves the same model to libusb
// through the kernel's USB device interface. The controls tests use (faults,
// unplugging, the transcript) are in board_controls.cpp.
//
// Protocol as the board speaks it:
//  - request 33 (port) value 20 (configuration): OUT one byte 0x00, then IN n
//    bytes = hardware version, firmware major, firmware minor, a fourth byte,
//    then zeros. OUT 0xFF 0x01 makes the board reconfigure: it leaves the bus
//    at once and comes back after reconfigureDelay() as a new arrival with a
//    current firmware (8.0). The arrival is raised on a board-owned thread.
//  - request 33 value 16 / 18: the flash port (SimFlash).
//  - request 64: start of frame. Then pipe 0x82 delivers the frame (518400
//    bytes of picture, then the frame's sound) in reads of at most the
//    requested length; after the last byte comes one empty packet. A new
//    start request discards whatever is left of the previous frame.
//  - Paced mode (default): frames are due at 59.83 per second. A start
//    request takes the newest due frame not yet delivered, or waits for the
//    next one; if that is further away than the control pipe's time-out, the
//    request waits the time-out and fails with kErrorSemTimeout. Frames that
//    nobody asked for in time are dropped (the counter shows the gap).
//    Unpaced mode: every start request gets the next frame at once.
//  - A read on pipe 0x82 with nothing to deliver waits the pipe's time-out
//    and fails with kErrorSemTimeout. A time-out of 0 (none set) waits at
//    most 5 s, so that a broken test cannot hang.
//  - After unplug() or a reconfigure, every transfer on an interface opened
//    before fails with kErrorNoDevice, even after the board is back.
//
// Thread-safety: every member may be called from any thread. The arrival
// handler is called without the board's lock held; setArrivalHandler() waits
// for a call in progress to finish, so after it returns no call is running.
#include <array>
#include <atomic>
#include <functional>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb/board_protocol.h"
#include "usb/sim/sim_flash.h"
#include "usb/usb_backend.h"

namespace usb {

class BoardModel {
public:
    // Picture and sound geometry.
    static constexpr int kTopWidth = 400;
    static constexpr int kBottomWidth = 320;
    static constexpr int kHeight = 240;
    static constexpr uint32_t kVideoBytes = 518400;
    static constexpr double kFramesPerSecond = 59.83;
    static constexpr uint32_t kSampleRate = 32728;
    static constexpr int kLeftHz = 440;
    static constexpr int kRightHz = 660;
    static constexpr int kToneAmplitude = 8000;
    // Longest frame a test may ask for (bigger than any request of the reader).
    static constexpr uint32_t kMaxFrameBytes = 600000;

    struct Rgb {
        uint8_t r, g, b;
        friend bool operator==(const Rgb&, const Rgb&) = default;
    };
    // The colour of screen pixel (x, y) (row 0 at the top) of the top
    // (bottom = false, x < 400) or bottom screen (x < 320) in frame `frame`.
    static Rgb expectedPixel(uint64_t frame, bool bottom, int x, int y);
    // Stereo sample frames that come with frame `frame` (547 or 548); the
    // sound of frame k starts at sample firstSample(k).
    static uint32_t samplesInFrame(uint64_t frame);
    static uint64_t firstSample(uint64_t frame);
    // Sample n of the tone: channel 0 left (440 Hz), 1 right (660 Hz),
    // except for the once-a-second pulse.
    static int16_t toneSample(uint64_t n, int channel);
    // The once-a-second marker: every kMarkerEvery-th frame shows a white
    // 16 x 16 square at (kSecondMarkerX, kSecondMarkerY) of the top screen,
    // and its sound starts with kPulseSamples samples of +kPulseAmplitude
    // left and -kPulseAmplitude right.
    static constexpr uint64_t kMarkerEvery = 60;
    static constexpr int kSecondMarkerX = 192;
    static constexpr int kSecondMarkerY = 200;
    static constexpr uint32_t kPulseSamples = 32;
    static constexpr int16_t kPulseAmplitude = 24000;
    static bool isMarkerFrame(uint64_t frame);
    static bool isMarkerSample(uint64_t n);

    // One entry of the transcript.
    enum class Kind : uint8_t { Open, Close, PipeTimeout, RawIo, Control, Read };
    struct Transfer {
        Kind kind;
        SetupPacket setup;   // Control
        uint8_t pipe;        // PipeTimeout, RawIo, Read
        uint32_t requested;  // Control, Read: length asked for; PipeTimeout: ms; RawIo: 0/1
        uint32_t moved;      // bytes transferred
        bool ok;
        uint32_t error;      // lastError() when !ok
    };
    static constexpr size_t kTranscriptCapacity = 4096;

    BoardModel();
    virtual ~BoardModel();
    BoardModel(const BoardModel&) = delete;
    BoardModel& operator=(const BoardModel&) = delete;

    // Configuration block: device type 4, firmware 8.0, fourth byte 0 by default.
    void setConfig(uint8_t hardware, uint8_t major, uint8_t minor, uint8_t fourth = 0);
    std::array<uint8_t, 4> config() const;

    // Pacing; unpaced frames come as fast as they are asked for.
    void setPaced(bool paced);
    // Delay before a reconfigured board comes back (default 200 ms).
    void setReconfigureDelay(uint32_t milliseconds);

    // --- The controls tests use ---
    // Fault injection; each applies to the next `count` occasions.
    void failStartRequests(int count);  // wait the control time-out, fail with 121
    void failControl(int count, uint32_t error);
    void failReads(int count, uint32_t error);
    // The same after `afterOk` further reads have gone through.
    void failReadsAfter(int afterOk, int count, uint32_t error);
    // The next `count` frames are `bytes` long in all (picture and sound
    // together, cut or padded with a filler pattern), e.g. 518399 for a
    // short frame, 518400 + 4k + 2 for an odd sound count, > 526592 for one
    // longer than the reader's storage.
    void setFrameLength(uint32_t bytes, int count = 1);
    // Ends every read after at most `bytes` (0 = no limit), as a board that
    // sends short packets mid-frame would.
    void setMaxReadBytes(uint32_t bytes);

    // Unplug: the board leaves the bus. Replug: it comes back and the arrival
    // handler is called synchronously on the caller's thread.
    void unplug();
    void replug();
    bool present() const;

    // Frames delivered so far (their start requests succeeded) and the number
    // the next one will carry.
    uint64_t framesDelivered() const;
    uint64_t nextFrameNumber() const;

    // Every transfer since the last clear (the newest kTranscriptCapacity).
    std::vector<Transfer> transcript() const;
    void clearTranscript();

    SimFlash& flash() { return flash_; }

    // --- The adapters' side ---
    // What an opened handle carries: its pipe time-outs, and a flag that,
    // once set (then interruptWaits()), makes a waiting transfer give up with
    // kErrorSemTimeout, as a cancelled transfer does.
    struct Pipes {
        uint32_t controlTimeout = 0;
        uint32_t readTimeout = 0;
        const std::atomic<bool>* cancelled = nullptr;
    };
    // Bumped whenever the board leaves the bus; a handle belongs to one generation.
    uint64_t generation() const;
    bool control(uint64_t generation, const Pipes& pipes, const SetupPacket& setup, uint8_t* data,
                 uint32_t length, uint32_t* transferred);
    bool read(uint64_t generation, const Pipes& pipes, uint8_t pipe, uint8_t* data, uint32_t length,
              uint32_t* received);
    void interruptWaits();
    void recordTransfer(const Transfer& t);
    // Told whenever the board leaves the bus (false) or is back (true), on
    // the thread that made it so, without the board's lock held. Replaces
    // any earlier listener and waits for a call in progress to finish.
    using BusListener = std::function<void(bool present)>;
    void setBusListener(BusListener listener);

private:
    friend class SimInterface;
    void record(const Transfer& t);  // under mutex_
    bool startFrame(std::unique_lock<std::mutex>& lock, uint64_t generation, const Pipes& pipes);
    bool waitTimeout(std::unique_lock<std::mutex>& lock, uint64_t generation, const Pipes& pipes,
                     uint32_t timeout);
    void prepareFrame(uint64_t number);  // under mutex_
    void leaveBus();                     // under mutex_
    void comebackLoop();
    void tellBus(bool present);

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    bool present_ = true;
    uint64_t generation_ = 1;  // bumped whenever the board leaves the bus
    std::array<uint8_t, 4> config_{4, 8, 0, 0};
    bool paced_ = true;
    uint32_t reconfigureDelayMs_ = 200;
    int failStarts_ = 0;
    int failControls_ = 0;
    uint32_t failControlError_ = 0;
    int readsBeforeFail_ = 0;
    int failReads_ = 0;
    uint32_t failReadError_ = 0;
    uint32_t frameLengthOverride_ = 0;
    int frameLengthFrames_ = 0;
    uint32_t maxReadBytes_ = 0;
    // The clock of a paced board: frame k is due at epoch_ + k / 59.83 s.
    std::chrono::steady_clock::time_point epoch_;
    uint64_t nextFrame_ = 0;  // number of the next frame to deliver
    uint64_t delivered_ = 0;
    // The frame being read on pipe 0x82.
    std::vector<uint8_t> frame_;       // kMaxFrameBytes, allocated once
    std::vector<uint8_t> background_;  // the still part of the picture, board order
    uint32_t frameLength_ = 0;
    uint32_t framePos_ = 0;
    bool frameOpen_ = false;  // data or the closing empty packet still to come
    std::vector<Transfer> transcript_;  // ring of kTranscriptCapacity
    size_t transcriptNext_ = 0;
    size_t transcriptCount_ = 0;
    // Reconfigure comeback.
    bool comebackPending_ = false;
    std::chrono::steady_clock::time_point comebackAt_;
    bool stopping_ = false;
    std::thread comebackThread_;

    std::mutex listenerMutex_;  // held while the listener runs
    BusListener listener_;

    SimFlash flash_;
};

}  // namespace usb
