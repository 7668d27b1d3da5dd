#include "app/status_composer.h"

#include <gtest/gtest.h>

TEST(StatusComposer, AResultOutlivesTheRecordingRefreshesForItsHoldTime) {
    StatusComposer c;
    const std::string running = "/v/00001.avi\n00:00:02, 0 MB (310 kB/s), 30.00 FPS";
    EXPECT_EQ(c.recording(running, 1000), running);
    // A snapshot while recording: a third line, kept through the refreshes.
    EXPECT_EQ(c.message("Saved /v/00003.png", true, 1100), running + "\nSaved /v/00003.png");
    const std::string later = "/v/00001.avi\n00:00:03, 1 MB (320 kB/s), 30.00 FPS";
    EXPECT_EQ(c.recording(later, 1100 + StatusComposer::kHoldMs - 1), later + "\nSaved /v/00003.png");
    EXPECT_EQ(c.recording(later, 1100 + StatusComposer::kHoldMs), later);
    // A newer result replaces the older one and starts its own hold.
    c.message("Saved /v/00004.png", true, 5000);
    EXPECT_EQ(c.message(".png save failed.", true, 5200), later + "\n.png save failed.");
    EXPECT_EQ(c.recording(later, 7000), later + "\n.png save failed.");
}

TEST(StatusComposer, WithoutARecordingAResultReplacesTheText) {
    StatusComposer c;
    EXPECT_EQ(c.message("Saved /v/00000.png", false, 10), "Saved /v/00000.png");
    // The stop's own status comes next, with the fresh result under it.
    c.recording("/v/00001.avi\nStopped.", 20);
    EXPECT_EQ(c.message("Saved /v/00001.png", false, 30), "Saved /v/00001.png");
    EXPECT_EQ(c.recording("/v/00002.avi\n00:00:00, 0 MB (0 kB/s), 0.00 FPS", 40),
              "/v/00002.avi\n00:00:00, 0 MB (0 kB/s), 0.00 FPS\nSaved /v/00001.png");
}
