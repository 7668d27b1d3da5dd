#include "app/board_status.h"

#include <gtest/gtest.h>

namespace {
const std::string kMissing =
    "No capture board found. Right-click here and pick \"Choose capture board\xE2\x80\xA6\" to find it among the "
    "connected USB devices.";
const FirmwareVersion kNew{8, 0};
}  // namespace

// Each story is a list of events and the status line text each one shows
// ("" leaves the line alone).
TEST(BoardStatus, SaysWhatTheBoardIsDoingAndNeverCallsARestartingBoardMissing) {
    enum Event { StartNone, StartStreaming, Left, ArrivedStreaming, ArrivedClosed, UpdatedBack, UpdatedRestarting };
    const struct {
        const char* story;
        std::vector<std::pair<Event, std::string>> steps;
    } stories[] = {
        {"no board, then one",
         {{StartNone, kMissing}, {ArrivedClosed, ""}, {ArrivedStreaming, "Capture board found."}}},
        {"unplugged and back, twice",
         {{StartStreaming, ""},
          {Left, boardUnpluggedText()},
          {Left, ""},
          {ArrivedClosed, ""},
          {ArrivedStreaming, "Capture board back."},
          {Left, boardUnpluggedText()},
          {ArrivedStreaming, "Capture board back."},
          {ArrivedStreaming, ""}}},
        {"updated at start, restarting while the start looks for boards",
         {{UpdatedRestarting, boardRestartingText()},
          {StartNone, ""},
          {Left, ""},
          {ArrivedStreaming, firmwareUpdatedText(kNew)},
          {Left, boardUnpluggedText()}}},
        {"updated at start, back before the dialog closed",
         {{UpdatedBack, firmwareUpdatedText(kNew)}, {StartStreaming, ""}, {ArrivedStreaming, ""}}},
        {"an old board plugged in later",
         {{StartNone, kMissing}, {UpdatedRestarting, boardRestartingText()}, {ArrivedStreaming, firmwareUpdatedText(kNew)}}},
    };
    for (const auto& story : stories) {
        BoardStatus status;
        int step = 0;
        for (const auto& [event, expected] : story.steps) {
            std::string shown;
            switch (event) {
            case StartNone: shown = status.started(false, false, true); break;
            case StartStreaming: shown = status.started(true, true, true); break;
            case Left: shown = status.left(); break;
            case ArrivedStreaming: shown = status.arrived(true, kNew); break;
            case ArrivedClosed: shown = status.arrived(false, {}); break;
            case UpdatedBack: shown = status.updated(true, kNew); break;
            case UpdatedRestarting: shown = status.updated(false, {}); break;
            }
            EXPECT_EQ(shown, expected) << story.story << ", step " << step;
            ++step;
        }
    }
    EXPECT_EQ(firmwareUpdatedText(kNew), "Firmware updated: the capture board runs firmware 8.0 now.");
    EXPECT_EQ(BoardStatus().started(false, false, false), "No capture board found.");
}
