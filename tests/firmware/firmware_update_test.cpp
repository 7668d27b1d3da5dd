#include "firmware/firmware_update.h"

#include <future>
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "../tools/synthetic_image.h"
#include "firmware/firmware_resources.h"
#include "firmware/firmware_worker.h"
#include "sim_link.h"
#include "support/debug_capture.h"
#include "support/private_folders.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<int> progressSeen;
void recordProgress(int thousandths) { progressSeen.push_back(thousandths); }

// The images the update may load, by resource id.
class ImageSet {
public:
    void add(int id, const Bytes& stream) {
        streams_.push_back(stream);
        table_.push_back({id, streams_.back().data(), streams_.back().size()});
        setFirmwareResources(table_.data(), table_.size());
    }
    void addImage(int id, const Bytes& raw) { add(id, synthetic::compress(raw)); }
    ~ImageSet() { setFirmwareResources(nullptr, 0); }

private:
    std::deque<Bytes> streams_;
    std::vector<FirmwareResource> table_;
};

// The flash as a successful update leaves it: the image with its trailer,
// 0xFF up to the end of its last page and beyond, and the board data kept.
Bytes expectedFlash(const Bytes& image, uint8_t deviceType, const Bytes& before) {
    Bytes flash(usb::SimFlash::kSize, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    const uint32_t programmedEnd = (static_cast<uint32_t>(image.size()) - 16 + 255) / 256 * 256;
    const uint32_t erasedEnd = (programmedEnd + 0xFFFF) / 0x10000 * 0x10000;
    if (erasedEnd > 0x7E000) {
        uint8_t first[8], second[128];
        usb::SimFlash::boardData(deviceType, first, second);
        std::copy(first, first + 8, flash.begin() + 0x7E000);
        std::copy(second, second + 128, flash.begin() + 0x7F080);
    } else {
        std::copy(before.begin() + erasedEnd, before.end(), flash.begin() + erasedEnd);
    }
    return flash;
}

// The debug output without the note that a board had no kept data yet (every
// first update of a board prints it).
std::string partLines(const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(at, 22, "No kept board data in ") != 0) out += text.substr(at, end - at);
        at = end;
    }
    return out;
}

bool sameFlash(const SimLink& link, const Bytes& expected) {
    return std::equal(expected.begin(), expected.end(), link.flash.data());
}

class FirmwareUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        progressSeen.clear();
        board(4);
    }
    void board(uint8_t deviceType) {
        link.config = {deviceType, 5, 0, 0};
        link.flash.loadFactoryContent(deviceType);
    }
    int run() { return updateFirmwareOver(link, recordProgress); }
    Bytes flashCopy() const { return Bytes(link.flash.data(), link.flash.data() + usb::SimFlash::kSize); }

    PrivateFolders folders;
    SimLink link;
    ImageSet images;
};

TEST_F(FirmwareUpdate, FullImageIsProgrammedAndTheBoardDataKept) {
    const Bytes image = synthetic::image(4);
    // Images of other types under the other ids: loading any of them would
    // fail on the trailer's device type.
    images.addImage(104, image);
    images.addImage(105, synthetic::image(3, 1000));
    images.addImage(113, synthetic::image(5, 1000));
    images.addImage(114, synthetic::image(6, 1000));
    const Bytes before = flashCopy();
    DebugCapture debug;

    ASSERT_EQ(run(), 0);
    EXPECT_EQ(partLines(debug.text()), "");
    EXPECT_EQ(link.pipeTimeout, 500u);
    EXPECT_TRUE(sameFlash(link, expectedFlash(image, 4, before)));
    EXPECT_EQ(link.flash.pagePrograms(), 1805u + 2u);

    std::vector<uint32_t> erased;
    for (const Transfer* t : link.commands())
        if (t->opcode() == 0xD8) erased.push_back(t->address());
    EXPECT_EQ(erased, (std::vector<uint32_t>{0x00000, 0x10000, 0x20000, 0x30000, 0x40000, 0x50000, 0x60000, 0x70000}));

    // The last two programs are the board data, after the image's last page.
    std::vector<uint32_t> programs;
    for (const Transfer* t : link.commands())
        if (t->opcode() == 0x02) programs.push_back(t->address());
    ASSERT_EQ(programs.size(), 1807u);
    EXPECT_EQ(programs[1804], 1804u * 256);
    EXPECT_EQ(programs[1805], 0x7E000u);
    EXPECT_EQ(programs[1806], 0x7F080u);

    ASSERT_FALSE(progressSeen.empty());
    EXPECT_EQ(progressSeen.front(), 0);
    EXPECT_EQ(progressSeen.back(), 999);
    EXPECT_TRUE(std::is_sorted(progressSeen.begin(), progressSeen.end()));
    EXPECT_EQ(progressSeen.size(), 1u + 452u);  // the start, then every fourth page

    // Reload: 0xFF 0x01 on the configuration port, twice.
    EXPECT_EQ(link.reloads, 2);
    EXPECT_EQ(link.log.back().value, CONFIG_PORT);
}

TEST_F(FirmwareUpdate, EachDeviceTypeGetsItsImage) {
    const struct {
        uint8_t type;
        int id;
    } types[] = {{3, 105}, {4, 104}, {5, 113}, {6, 114}};
    for (const auto& t : types) images.addImage(t.id, synthetic::image(t.type, 70000 - 16));
    for (const auto& t : types) {
        SCOPED_TRACE(t.type);
        EXPECT_EQ(firmwareResourceId(t.type), t.id);
        link.flash.fill(0xFF);
        board(t.type);
        link.log.clear();
        const Bytes before = flashCopy();
        // A short image: two blocks, nothing near the board data is erased or written.
        ASSERT_EQ(run(), 0);
        EXPECT_TRUE(sameFlash(link, expectedFlash(synthetic::image(t.type, 70000 - 16), t.type, before)));
        EXPECT_EQ(link.countCommands(0xD8), 2u);
        EXPECT_EQ(link.countCommands(0x02), (70000u - 16 + 255) / 256);
    }
}

// Failures before the first erase: the code, the debug line, nothing erased
// or programmed, and the flash command closed at the end.
TEST_F(FirmwareUpdate, RefusesBeforeTouchingTheFlash) {
    struct Case {
        const char* name;
        std::function<void(SimLink&, ImageSet&)> setup;
        int code;
        std::string line;
        bool flashRead;  // whether the flash was read at all (0x03 commands)
    };
    const Bytes good = synthetic::image(4);
    Bytes badSignature = good;
    badSignature[good.size() - 16] = '$';
    Bytes corrupt = synthetic::compress(good);
    corrupt[corrupt.size() / 2] ^= 0x40;
    const Case cases[] = {
        {"pipe time-out", [](SimLink& l, ImageSet&) { l.pipeTimeoutOk = false; }, 300, "", false},
        {"unknown flash", [](SimLink& l, ImageSet&) { l.flash.setIdentification(0x20, 0x20, 0x14); }, 304,
         "Unsupported flash (ID=20 20 14)\ncheckId failed\n", false},
        {"config", [](SimLink& l, ImageSet&) { l.configOk = false; }, 316, "Kestrel config read error.\n", false},
        {"device type 7", [](SimLink& l, ImageSet&) { l.config[0] = 7; }, 326, "Unknown devicetype.\n", false},
        {"no image", [](SimLink&, ImageSet&) {}, 330, "Resource load failed\n", false},
        {"corrupt image", [&](SimLink&, ImageSet& i) { i.add(104, corrupt); }, 330, "Resource load failed\n", false},
        {"image too long", [](SimLink&, ImageSet& i) { i.addImage(104, synthetic::image(4, 516097 - 16)); }, 333,
         "Bad firmware file.\n", false},
        {"image too short", [](SimLink&, ImageSet& i) { i.addImage(104, Bytes(16, 0x23)); }, 333,
         "Bad firmware file.\n", false},
        {"bad signature", [&](SimLink&, ImageSet& i) { i.addImage(104, badSignature); }, 339, "Bad signature.\n",
         false},
        {"identity unreadable",
         [](SimLink& l, ImageSet& i) {
             i.addImage(104, synthetic::image(4));
             l.refuse = [](const Transfer& t) { return t.in && t.value == FLASH_PORT && t.length == 4; };
         },
         348, "readRom fail.\n", true},
        {"other FPGA on the board",
         [](SimLink& l, ImageSet& i) {
             i.addImage(104, synthetic::image(4));
             synthetic::identityWord(3, l.flash.data() + 40);
         },
         351, "Devicetype mismatch. (4 4 93100004 93000004)\n", true},
        {"image for another type",
         [](SimLink&, ImageSet& i) { i.addImage(104, synthetic::image(5)); }, 351,
         "Devicetype mismatch. (5 4 93000004 93000004)\n", true},
        {"board data unreadable",
         [](SimLink& l, ImageSet& i) {
             i.addImage(104, synthetic::image(4));
             l.refuse = [](const Transfer& t) { return t.in && t.length == 4096; };
         },
         358, "readRom failed.\n", true},
        {"write protected",
         [](SimLink& l, ImageSet& i) {
             i.addImage(104, synthetic::image(4));
             l.flash.setIdentification(0x1F, 0x44, 0x01);
             l.flash.setProtectionBits(0x0C);  // bit 4 clear: the protection cannot be lifted
         },
         367, "Write protected.\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimLink fresh;
        fresh.config = {4, 5, 0, 0};
        fresh.flash.loadFactoryContent(4);
        ImageSet set;
        c.setup(fresh, set);
        const Bytes before(fresh.flash.data(), fresh.flash.data() + usb::SimFlash::kSize);
        DebugCapture debug;
        EXPECT_EQ(updateFirmwareOver(fresh, recordProgress), c.code);
        EXPECT_EQ(partLines(debug.text()), c.line);
        EXPECT_EQ(fresh.countCommands(0x03) > 0, c.flashRead);
        EXPECT_EQ(fresh.countCommands(0xD8) + fresh.countCommands(0x02) + fresh.countCommands(0x01), 0u);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), fresh.flash.data()));
        EXPECT_EQ(fresh.reloads, 0);
        ASSERT_FALSE(fresh.log.empty());
        EXPECT_EQ(fresh.log.back().value, FLASH_PORT);
        EXPECT_TRUE(fresh.log.back().data.empty());
    }
}

TEST_F(FirmwareUpdate, LargestImageFitsBeforeTheBoardData) {
    const Bytes image = synthetic::image(4, 0x7E000 - 16);
    images.addImage(104, image);
    const Bytes before = flashCopy();
    ASSERT_EQ(run(), 0);
    EXPECT_TRUE(sameFlash(link, expectedFlash(image, 4, before)));
}

TEST_F(FirmwareUpdate, FailedPageStopsAndPutsTheBoardDataBack) {
    images.addImage(104, synthetic::image(4));
    struct Case {
        int64_t badPage;
        int code;
        uint32_t erases;
    } cases[] = {
        {0x30000, 385, 4},  // the board data's block is never erased
        {0x70400, 385, 8},  // it is: the data goes back before the failure is reported
        {0x7E000, 390, 8},  // the first range fails, the second is still written
        {0x7F000, 392, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.badPage);
        PrivateFolders caseFolders;
        SimLink fresh;
        fresh.flash.loadFactoryContent(4);
        fresh.flash.setBadPage(c.badPage);
        DebugCapture debug;
        EXPECT_EQ(updateFirmwareOver(fresh, recordProgress), c.code);
        EXPECT_EQ(partLines(debug.text()), "pageProgramVerify failed\n");
        EXPECT_EQ(fresh.flash.blockErases(), c.erases);
        EXPECT_EQ(fresh.reloads, 0);
        uint8_t first[8], second[128];
        usb::SimFlash::boardData(4, first, second);
        fresh.flash.setBadPage(-1);
        if (c.badPage != 0x7E000) { EXPECT_EQ(std::memcmp(fresh.flash.data() + 0x7E000, first, 8), 0); }
        if (c.badPage != 0x7F000) { EXPECT_EQ(std::memcmp(fresh.flash.data() + 0x7F080, second, 128), 0); }
        EXPECT_EQ(fresh.log.back().value, FLASH_PORT);
        EXPECT_TRUE(fresh.log.back().data.empty());
    }
}

// The board goes away while the last block is programmed, so its data cannot
// be written back; a retry once it is back restores the data first read.
TEST_F(FirmwareUpdate, RetryAfterLostBoardDataRestoresTheOriginals) {
    const Bytes image = synthetic::image(4);
    images.addImage(104, image);
    const Bytes before = flashCopy();
    bool gone = false;
    link.refuse = [&](const Transfer& t) {
        if (t.opcode() == 0x02 && t.address() >= 0x70800) gone = true;
        return gone;
    };
    EXPECT_EQ(run(), 385);
    EXPECT_EQ(link.flash.data()[0x7E000], 0xFF);  // the block was erased, nothing went back

    link.refuse = nullptr;
    progressSeen.clear();
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(progressSeen.front(), 0);
    EXPECT_TRUE(sameFlash(link, expectedFlash(image, 4, before)));
}

TEST(FirmwareWorker, DeviceNotWaitingForAnUpdateGets64) {
    // The update starts only on a board that waits for it, and runs with the
    // device lock held (asked from another thread: try_lock on a mutex the
    // caller holds is only defined there). A board without a connection
    // fails the update's first step.
    static int progressCalls;
    static bool lockHeld;
    progressCalls = 0;
    lockHeld = false;
    ProgressFn checkLock = [](int) {
        if (progressCalls++) return;
        lockHeld = !std::async(std::launch::async, [] {
                        if (!deviceLock.try_lock()) return false;
                        deviceLock.unlock();
                        return true;
                    }).get();
    };
    _KestrelDevice board;
    UsbDevice nullDevice;
    UsbDevice* previous = currentDevice();
    setCurrentDevice(&nullDevice);
    nullDevice.openState = NeedsUpdate;
    EXPECT_EQ(runFirmwareUpdateWorker(checkLock), 64);
    setCurrentDevice(&board);
    board.openState = Streaming;
    EXPECT_EQ(runFirmwareUpdateWorker(checkLock), 64);
    EXPECT_EQ(progressCalls, 0);
    board.openState = NeedsUpdate;
    EXPECT_EQ(runFirmwareUpdateWorker(checkLock), 300);
    EXPECT_GT(progressCalls, 0);
    EXPECT_TRUE(lockHeld);
    setCurrentDevice(previous);
}

}  // namespace
