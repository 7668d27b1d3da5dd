// The share where no PipeWire runs: it says so at once, with the reason,
// and hands no frame over nor keeps one.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "share/pipewire/pipewire_share.h"

namespace {

struct Heard {
    std::mutex mutex;
    std::condition_variable changed;
    PipeWireShare::State state = PipeWireShare::State::Starting;
    std::string message;
};

void onState(void* context, PipeWireShare::State state, const std::string& message) {
    auto* heard = static_cast<Heard*>(context);
    std::lock_guard<std::mutex> lock(heard->mutex);
    heard->state = state;
    heard->message = message;
    heard->changed.notify_all();
}

TEST(NoPipeWire, TheShareSaysWhyAndNeverHoldsAFrame) {
    char pattern[] = "/tmp/kc-no-pipewire-XXXXXX";
    const std::string empty = mkdtemp(pattern);
    setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", empty.c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");

    Heard heard;
    PipeWireShare share;
    share.setSharing(true);
    std::string error;
    ASSERT_TRUE(share.start(onState, &heard, &error)) << error;
    {
        std::unique_lock<std::mutex> lock(heard.mutex);
        ASSERT_TRUE(heard.changed.wait_for(lock, std::chrono::seconds(5),
                                           [&] { return heard.state == PipeWireShare::State::NoPipeWire; }));
        EXPECT_NE(heard.message.find("PipeWire is not running"), std::string::npos) << heard.message;
    }
    FrameBuffer frame;
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) share.offerFrame(&frame);
    share.setScale(2);
    share.setSharing(false);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));
    EXPECT_EQ(frame.refCount, 0);
    share.stop();
    std::filesystem::remove_all(empty);
}

}  // namespace
