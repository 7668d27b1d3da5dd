// The update cut off at every point that matters, then retried, in the same
// run or after a restart: the board must end with the image and its own data
// and stream again. The cut is the board's flash going away after k of the
// update's flash transfers (the board pulled out, or the program killed: the
// transfers after k never happen either way).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "../tools/synthetic_image.h"
#include "core/device.h"
#include "firmware/firmware_resources.h"
#include "firmware/firmware_update.h"
#include "sim_link.h"
#include "support/private_folders.h"
#include "usb/sim/sim_board.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes& image() {
    static const Bytes raw = synthetic::image(4);
    return raw;
}

// Stored blocks: the sweep inflates the image thousands of times.
const Bytes& stream() {
    static const Bytes s = synthetic::compress(image(), 0);
    return s;
}

// The flash as every case must end: the image, erased flash after it, and
// the board's own data in the last block.
const Bytes& updatedFlash() {
    static const Bytes flash = [] {
        Bytes f(usb::SimFlash::kSize, 0xFF);
        std::copy(image().begin(), image().end(), f.begin());
        usb::SimFlash::boardData(4, f.data() + 0x7E000, f.data() + 0x7F080);
        return f;
    }();
    return flash;
}

// Where a clean update's block erases fall among its flash transfers.
struct UpdateMap {
    std::vector<uint64_t> erases;  // index of each erase command's transfer
    uint64_t total = 0;
};

UpdateMap mapUpdate() {
    SimLink link;
    link.flash.loadFactoryContent(4);
    PrivateFolders folders;
    EXPECT_EQ(updateFirmwareOver(link, nullptr), 0);
    UpdateMap map;
    bool open = false;
    for (const Transfer& t : link.log) {
        if (t.value != FLASH_PORT && t.value != FLASH_PORT_CONT) continue;
        if (!open && t.opcode() == 0xD8) map.erases.push_back(map.total);
        open = t.value == FLASH_PORT_CONT;
        ++map.total;
    }
    return map;
}

// Sanitizer builds run each update ten or more times slower; there every
// 8th transfer of the first and last blocks stands for the rest (the points
// near a block boundary and the last ones of the update are always kept).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kBlockStride = 8;
#else
constexpr uint64_t kBlockStride = 1;
#endif

// Every transfer of the first and the last block (with what comes before
// and after them), a few around each block boundary, every 61st elsewhere.
std::vector<uint64_t> interruptionPoints(const UpdateMap& map) {
    std::vector<uint64_t> points;
    const uint64_t firstEnd = map.erases.at(1), lastStart = map.erases.back();
    auto nearBoundary = [&](uint64_t k) {
        for (uint64_t e : map.erases)
            if (k + 2 >= e && k <= e + 2) return true;
        return k + 16 >= map.total;
    };
    for (uint64_t k = 0; k < firstEnd; ++k)
        if (k % kBlockStride == 0 || nearBoundary(k)) points.push_back(k);
    for (uint64_t k = firstEnd; k < lastStart; ++k)
        if (nearBoundary(k) || (k - firstEnd) % 61 == 0) points.push_back(k);
    for (uint64_t k = lastStart; k < map.total; ++k)
        if (k % kBlockStride == 0 || nearBoundary(k)) points.push_back(k);
    return points;
}

struct LooseBuffer {
    Bytes storage = Bytes(kVideoStorageAllocBytes);
    FrameBuffer frame;
    LooseBuffer() { frame.videoStorage = storage.data(); }
};

// One case on a board fresh from the factory; an empty string when it ended
// updated, intact and streaming.
std::string interruptThenRetry(usb::SimBoard& board, uint64_t k, bool restart, LooseBuffer& buffer) {
    PrivateFolders folders;
    board.unplug();
    board.setConfig(4, 5, 0, 0);
    board.flash().loadFactoryContent(4);
    board.replug();

    std::optional<_KestrelDevice> device(std::in_place, &board);
    if (!device->open(nullptr) || device->openState != NeedsUpdate) return "not waiting for an update";
    board.flash().unplugAfter(k);
    const int cut = updateFirmware(*device, nullptr);
    if (cut == 0) return "the cut-off update reported success";

    // The board is pulled out and put back; with a restart the program
    // itself starts over, with nothing but what it left on disk.
    device->close();
    board.unplug();
    board.flash().attach();
    board.replug();
    if (restart) device.emplace(&board);
    if (!device->open(nullptr) || device->openState != NeedsUpdate) return "not waiting for the retry";
    if (const int code = updateFirmware(*device, nullptr); code != 0)
        return "retry failed with " + std::to_string(code) + " after " + std::to_string(cut);

    const uint8_t* flash = board.flash().data();
    if (!std::equal(updatedFlash().begin(), updatedFlash().end(), flash)) {
        const bool dataLost = std::memcmp(flash + 0x7E000, updatedFlash().data() + 0x7E000, 0x2000) != 0;
        return dataLost ? "board data lost" : "image wrong";
    }
    // The reload sent the board off the bus; bring it back now rather than
    // after its own delay.
    device->close();
    if (board.present()) return "the board was not told to reload";
    board.replug();
    if (!device->open(nullptr) || device->openState != Streaming) return "does not stream after the update";
    if (device->readFrame(&buffer.frame) != FRAME_OK) return "no frame after the update";
    device->close();
    return {};
}

// The update's image installed for every case.
class WithImage : public ::testing::Test {
protected:
    void SetUp() override {
        table_[0] = {104, stream().data(), stream().size()};
        setFirmwareResources(table_, 1);
    }
    void TearDown() override { setFirmwareResources(nullptr, 0); }

    FirmwareResource table_[1];
};

class InterruptionSweep : public WithImage, public ::testing::WithParamInterface<bool> {};

TEST_P(InterruptionSweep, EveryCutEndsUpdatedWithTheBoardDataIntact) {
    const bool restart = GetParam();
    const UpdateMap map = mapUpdate();
    ASSERT_EQ(map.erases.size(), 8u);
    const std::vector<uint64_t> points = interruptionPoints(map);

    usb::SimBoard board;
    board.setPaced(false);
    board.setReconfigureDelay(60000);
    board.flash().setTimeScale(0);
    LooseBuffer buffer;
    const auto start = std::chrono::steady_clock::now();
    size_t intact = 0, reported = 0;
    for (uint64_t k : points) {
        const std::string fault = interruptThenRetry(board, k, restart, buffer);
        if (fault.empty()) {
            ++intact;
        } else if (++reported <= 10) {
            ADD_FAILURE() << "cut after " << k << " of " << map.total << " flash transfers: " << fault;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %zu interruption points of %llu transfers, %zu ended updated with the data intact, %.1f s\n",
                restart ? "with a restart" : "in the same run", points.size(),
                static_cast<unsigned long long>(map.total), intact, seconds);
    EXPECT_EQ(intact, points.size());
}

// The other ways an update is cut off: a transfer the board refuses, a chip
// that stays busy from some point on, a page that reads back wrong. Each at
// the dangerous places (block 0 just erased, the last block with the board's
// data erased), then a retry once the fault is gone.
TEST_F(WithImage, OtherFaultsThenRetry) {
    const UpdateMap map = mapUpdate();
    const uint64_t block0 = map.erases.front(), last = map.erases.back();
    enum Fault { Refused, StuckBusy, BadPage };
    const struct {
        const char* name;
        Fault fault;
        uint64_t at;       // the flash transfer from which on the fault is there
        int64_t page = 0;  // for BadPage
    } cases[] = {
        {"refused programming page 0", Refused, block0 + 6},
        {"refused in the last block", Refused, last + 40},
        {"refused writing the data back", Refused, map.total - 5},
        {"stuck busy erasing block 0", StuckBusy, block0 + 1},
        {"stuck busy in the last block", StuckBusy, last + 10},
        {"page 0 reads back wrong", BadPage, block0 + 1, 0x00000},
        {"the last page reads back wrong", BadPage, last + 1, 0x70800},
        {"the kept data reads back wrong", BadPage, map.total - 10, 0x7F000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PrivateFolders folders;
        SimLink link;
        link.recording = false;
        link.tickStep = 500;  // a stuck chip times out after a few polls
        link.flash.loadFactoryContent(4);
        uint64_t transfers = 0;
        link.refuse = [&](const Transfer& t) {
            if (t.value != FLASH_PORT && t.value != FLASH_PORT_CONT) return false;
            const uint64_t index = transfers++;
            if (c.fault == StuckBusy && index == c.at) link.flash.setStuckBusy(true);
            if (c.fault == BadPage && index == c.at) link.flash.setBadPage(c.page);
            return c.fault == Refused && index == c.at;
        };
        EXPECT_NE(updateFirmwareOver(link, nullptr), 0);

        link.refuse = nullptr;
        link.flash.setStuckBusy(false);
        link.flash.setBadPage(-1);
        ASSERT_EQ(updateFirmwareOver(link, nullptr), 0);
        const auto [want, got] = std::mismatch(updatedFlash().begin(), updatedFlash().end(), link.flash.data());
        EXPECT_TRUE(want == updatedFlash().end()) << "first difference at " << (want - updatedFlash().begin());
    }
}

INSTANTIATE_TEST_SUITE_P(, InterruptionSweep, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "AfterRestart" : "SameRun"; });

}  // namespace
