#include "firmware/flash_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sim_link.h"
#include "support/debug_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CheckId, AcceptsTheFourChipsAndNamesAnyOther) {
    struct Case {
        uint8_t id[3];
        bool answer;  // false: the IN transfer fails
        bool accepted;
        uint32_t flashId;
        const char* line;
    } cases[] = {
        {{0x1F, 0x44, 0x01}, true, true, 0x01441F, ""},
        {{0x1F, 0x84, 0x01}, true, true, 0x01841F, ""},
        {{0x20, 0x20, 0x13}, true, true, 0x132020, ""},
        {{0x20, 0x80, 0x13}, true, true, 0x138020, ""},
        {{0x20, 0x20, 0x14}, true, false, 0x142020, "Unsupported flash (ID=20 20 14)\n"},
        {{0x1F, 0x84, 0x01}, false, false, 0, "Unsupported flash (ID=00 00 00)\n"},
    };
    for (const Case& c : cases) {
        SimLink link;
        link.flash.setIdentification(c.id[0], c.id[1], c.id[2]);
        if (!c.answer) link.refuse = [](const Transfer& t) { return t.in; };
        DebugCapture debug;
        EXPECT_EQ(checkId(link), c.accepted);
        EXPECT_EQ(link.id, c.flashId);
        EXPECT_EQ(debug.text(), c.line);
        ASSERT_EQ(link.log.size(), 2u);
        EXPECT_EQ(link.log[0].value, FLASH_PORT_CONT);
        EXPECT_EQ(link.log[0].data, Bytes{0x9F});
        EXPECT_TRUE(link.log[1].in);
        EXPECT_EQ(link.log[1].value, FLASH_PORT);
        EXPECT_EQ(link.log[1].length, 3);
    }
}

TEST(PageProgram, StaysInsideOnePage) {
    SimLink link;
    DebugCapture debug;
    uint8_t data[256];
    for (int i = 0; i < 256; ++i) data[i] = static_cast<uint8_t>(i);

    EXPECT_TRUE(pageProgram(link, 0x7E000, 8, data));
    EXPECT_TRUE(pageProgram(link, 0x7F080, 128, data));
    EXPECT_EQ(std::memcmp(link.flash.data() + 0x7E000, data, 8), 0);
    EXPECT_EQ(std::memcmp(link.flash.data() + 0x7F080, data, 128), 0);
    EXPECT_EQ(debug.text(), "");

    link.log.clear();
    EXPECT_FALSE(pageProgram(link, 0x100F0, 32, data));
    EXPECT_EQ(debug.text(), "Page write overflow.\n");
    EXPECT_TRUE(link.log.empty());
}

TEST(PageProgram, SendsEnableCommandDataThenPollsStatus) {
    SimLink link;
    const uint8_t data[3] = {1, 2, 3};
    ASSERT_TRUE(pageProgram(link, 0x012345, 3, data));
    ASSERT_EQ(link.log.size(), 6u);
    EXPECT_EQ(link.log[0].data, Bytes{0x06});
    EXPECT_EQ(link.log[0].value, FLASH_PORT);
    EXPECT_EQ(link.log[1].data, (Bytes{0x02, 0x01, 0x23, 0x45}));
    EXPECT_EQ(link.log[1].value, FLASH_PORT_CONT);
    EXPECT_EQ(link.log[2].data, (Bytes{1, 2, 3}));
    EXPECT_EQ(link.log[2].value, FLASH_PORT);
    EXPECT_EQ(link.log[3].data, Bytes{0x05});
    EXPECT_EQ(link.log[3].value, FLASH_PORT_CONT);
    EXPECT_TRUE(link.log[4].in);
    EXPECT_EQ(link.log[4].value, FLASH_PORT_CONT);
    // The poll ends with an empty FLASH_PORT transfer.
    EXPECT_EQ(link.log.back().value, FLASH_PORT);
    EXPECT_TRUE(link.log.back().data.empty());
    EXPECT_FALSE(link.log.back().in);
}

TEST(ReadRom, ReadsInPiecesOfAtMost4096WithinOneCommand) {
    struct Case {
        uint32_t length;
        std::vector<std::pair<uint16_t, uint16_t>> pieces;  // port, length
    } cases[] = {
        {4, {{FLASH_PORT, 4}}},
        {4096, {{FLASH_PORT, 4096}}},
        {8192, {{FLASH_PORT_CONT, 4096}, {FLASH_PORT, 4096}}},
        {8193, {{FLASH_PORT_CONT, 4096}, {FLASH_PORT_CONT, 4096}, {FLASH_PORT, 1}}},
    };
    for (const Case& c : cases) {
        SimLink link;
        for (uint32_t i = 0; i < usb::SimFlash::kSize; ++i) link.flash.data()[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
        std::vector<uint8_t> buffer(c.length);
        ASSERT_TRUE(readRom(link, buffer.data(), 0x1000, c.length));
        EXPECT_EQ(std::memcmp(buffer.data(), link.flash.data() + 0x1000, c.length), 0);
        ASSERT_EQ(link.log.size(), 1 + c.pieces.size());
        EXPECT_EQ(link.log[0].data, (Bytes{0x03, 0x00, 0x10, 0x00}));
        EXPECT_EQ(link.log[0].value, FLASH_PORT_CONT);
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            EXPECT_TRUE(link.log[1 + i].in);
            EXPECT_EQ(link.log[1 + i].value, c.pieces[i].first) << c.length << " piece " << i;
            EXPECT_EQ(link.log[1 + i].length, c.pieces[i].second) << c.length << " piece " << i;
        }
    }
}

TEST(ReadRom, ShortReadClosesTheCommand) {
    SimLink link;
    int reads = 0;
    link.refuse = [&](const Transfer& t) { return t.in && ++reads == 2; };
    std::vector<uint8_t> buffer(8192);
    EXPECT_FALSE(readRom(link, buffer.data(), 0, 8192));
    ASSERT_EQ(link.log.size(), 4u);
    EXPECT_FALSE(link.log[2].ok);
    EXPECT_EQ(link.log[3].value, FLASH_PORT);
    EXPECT_TRUE(link.log[3].data.empty());
}

TEST(UnWriteProtect, ClearsProtectionOnlyWhenSet) {
    struct Case {
        uint8_t id[3];
        uint8_t status;
        bool ok;
        bool writes;
        const char* line;
    } cases[] = {
        {{0x1F, 0x84, 0x01}, 0x00, true, false, ""},
        {{0x20, 0x20, 0x13}, 0x1C, true, true, "unWriteProtect\n"},
        {{0x20, 0x80, 0x13}, 0x04, true, true, "unWriteProtect\n"},
        {{0x1F, 0x44, 0x01}, 0x10, true, false, ""},
        {{0x1F, 0x44, 0x01}, 0x90, true, true, "unWriteProtect\n"},
        {{0x1F, 0x44, 0x01}, 0x0C, false, false, ""},  // bit 4 clear
        {{0x1F, 0x44, 0x01}, 0x00, false, false, ""},
    };
    for (const Case& c : cases) {
        SimLink link;
        link.flash.setIdentification(c.id[0], c.id[1], c.id[2]);
        link.flash.setProtectionBits(c.status);
        ASSERT_TRUE(checkId(link));
        link.log.clear();
        DebugCapture debug;
        EXPECT_EQ(unWriteProtect(link), c.ok) << int(c.status);
        EXPECT_EQ(debug.text(), c.line);
        EXPECT_EQ(link.countCommands(0x01) + link.countCommands(0x06), c.writes ? 2u : 0u) << int(c.status);
        if (c.ok) { EXPECT_EQ(link.flash.statusRegister() & (c.id[1] == 0x44 ? 0x8C : 0x1C), 0); }
    }
}

TEST(UnWriteProtect, UnknownChipFails) {
    SimLink link;
    link.id = 0x142020;
    EXPECT_FALSE(unWriteProtect(link));
    EXPECT_TRUE(link.log.empty());
}

TEST(EraseBlock, ErasesTheWholeBlock) {
    SimLink link;
    link.flash.fill(0x00);
    ASSERT_TRUE(eraseBlock(link, 0x23456));
    EXPECT_EQ(link.log[1].data, (Bytes{0xD8, 0x02, 0x34, 0x56}));
    for (uint32_t a : {0x1FFFFu, 0x20000u, 0x2FFFFu, 0x30000u})
        EXPECT_EQ(link.flash.data()[a], (a >= 0x20000 && a < 0x30000) ? 0xFF : 0x00) << std::hex << a;
}

// A chip that never finishes: the poll gives up once the time-out has passed,
// also when the tick counter wraps meanwhile, and closes the status command.
TEST(WaitReady, ChipStillBusyAfterTheTimeOutFails) {
    for (uint32_t start : {0u, 0xFFFFF000u}) {
        SimLink link;
        link.flash.setStuckBusy(true);
        link.ticks = start;
        link.tickStep = 100;
        EXPECT_FALSE(eraseBlock(link, 0));
        size_t polls = 0;
        for (const Transfer& t : link.log) polls += t.in;
        // One reading to start, then one per poll: 7000 ms at 100 ms a reading.
        EXPECT_EQ(polls, 70u) << start;
        EXPECT_EQ(link.log.back().value, FLASH_PORT);
        EXPECT_TRUE(link.log.back().data.empty());
    }
}

// The poller loses the processor for 300 ms right after a busy reading,
// while the chip finishes: the wait ends on a fresh reading, not on the stale one.
TEST(WaitReady, StalledPollerTakesOneMoreReadingAfterTheTimeOut) {
    SimLink link;
    uint64_t flashNow = 0;
    link.flash.setClock([&] { return flashNow; });
    link.flash.setTimeScale(1.0);
    link.flash.setTiming({1000, 1000, 1000});
    link.tickStep = 1;
    bool stalled = false;
    link.refuse = [&](const Transfer& t) {
        if (t.in && !stalled) {
            stalled = true;
            flashNow += 2000;
            link.ticks += 300;
        }
        return false;
    };
    const uint8_t data[1] = {0x5A};
    EXPECT_TRUE(pageProgram(link, 0, 1, data));
}

TEST(WaitReady, FailedPollCountsAsBusy) {
    SimLink link;
    link.refuse = [](const Transfer& t) { return t.in; };
    EXPECT_FALSE(waitReady(link, 200));
    ASSERT_EQ(link.log.size(), 3u);
    EXPECT_TRUE(link.log[2].data.empty());
    EXPECT_EQ(link.log[2].value, FLASH_PORT);
}

TEST(WaitReady, PollsUntilTheChipIsIdle) {
    // The flash is busy for 3 ms of its own clock, which moves 1 ms after
    // every status poll: busy at 0, 1 and 2 ms, idle at the fourth poll.
    SimLink link;
    uint64_t now = 0;
    link.flash.setClock([&] { return now; });
    link.flash.setTimeScale(1.0);
    link.flash.setTiming({3000, 3000, 3000});
    link.refuse = [&](const Transfer& t) {
        if (t.in) now += 1000;
        return false;
    };
    const uint8_t data[1] = {0x5A};
    ASSERT_TRUE(pageProgram(link, 0, 1, data));
    size_t polls = 0;
    for (const Transfer& t : link.log) polls += t.in;
    EXPECT_EQ(polls, 4u);
}

TEST(PageProgramVerify, DetectsAPageThatReadsBackWrong) {
    SimLink link;
    uint8_t page[256];
    std::memset(page, 0x3C, sizeof page);
    link.flash.setBadPage(0x200);
    EXPECT_TRUE(pageProgramVerify(link, page, 256, 0x100));
    EXPECT_FALSE(pageProgramVerify(link, page, 256, 0x200));
}

// The flash model: programming only clears bits, protection stops erase and
// program, and commands while busy are ignored.
TEST(SimFlashModel, BehavesLikeTheChip) {
    SimLink link;
    link.flash.fill(0xFF);
    const uint8_t a[1] = {0xF0};
    const uint8_t b[1] = {0x3C};
    ASSERT_TRUE(pageProgram(link, 0x10, 1, a));
    ASSERT_TRUE(pageProgram(link, 0x10, 1, b));
    EXPECT_EQ(link.flash.data()[0x10], 0x30);

    link.flash.setProtectionBits(0x1C);
    eraseBlock(link, 0);
    EXPECT_EQ(link.flash.data()[0x10], 0x30);
    EXPECT_EQ(link.flash.blockErases(), 0u);

    // Without write enable nothing is programmed.
    link.flash.setProtectionBits(0);
    const uint8_t program[5] = {0x02, 0, 0, 0x20, 0x00};
    link.controlWrite(REQ_PORT, FLASH_PORT, 5, program);
    EXPECT_EQ(link.flash.data()[0x20], 0xFF);
}

}  // namespace
