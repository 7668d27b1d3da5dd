#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "core/link_stats.h"
#include "core/monitor.h"
#include "support/debug_capture.h"

namespace {

const char* const kStatsIdle = "paints/s=0, SKIPS=0 ERRORS=0 rdyQ=0 audioPos=0 audioLatency=-1\n";
const char* const kAllTestPoints =
    "TP184 TP178 TP172 TP166 TP183 TP177 TP171 TP165 "
    "TP186 TP180 TP174 TP168 TP185 TP179 TP173 TP167 "
    "TP188 TP182 TP176 TP170 TP187 TP181 TP175 TP169 ";

struct ReportCase {
    const char* name;
    int32_t paints, skips, errors, rdyQ, audioPos, latency;
    uint32_t stuckOn, stuckOff;
    int32_t audioBytesSeen;
    bool allOnes, allZero;
    std::string text;
};

TEST(MonitorReport, TextForEachStateOfTheLink) {
    const ReportCase cases[] = {
        {"console just opened, no engine", 0, 0, 0, 0, 0, -1, 0, 0, 0, false, false,
         std::string(kStatsIdle) + "TP139 TP140 (audio data lost)\n"},
        {"healthy link", 60, 3, 1, 10, 3000, 128, 0, 0, 2192, false, false,
         "paints/s=60, SKIPS=3 ERRORS=1 rdyQ=10 audioPos=3000 audioLatency=128\n"},
        {"black error frame, skipped read", 0, 0, 0, 0, 0, -1, 0, 0xFFFFFF, 0, false, false,
         std::string(kStatsIdle) + kAllTestPoints + "(0xFFFFFF) stuck off\nTP139 TP140 (audio data lost)\n"},
        {"two bits stuck on, audio all 0xFF", 0, 0, 0, 0, 0, -1, 0x000101, 0, 2192, true, false,
         std::string(kStatsIdle) + "TP184 TP186 (0x000101) stuck on\nTP138 (audio data stuck)\n"},
        {"both masks, audio all zero", 0, 0, 0, 0, 0, -1, 0x800000, 0x000080, 4, false, true,
         std::string(kStatsIdle) + "TP169 (0x800000) stuck on\nTP165 (0x000080) stuck off\n"
                                   "TP138 (audio data stuck)\n"},
        {"negative values print as such", 5, 0, 0, 0, -1, -1, 0, 0, 8, false, false,
         "paints/s=5, SKIPS=0 ERRORS=0 rdyQ=0 audioPos=-1 audioLatency=-1\n"},
    };
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(c.name);
        linkStats.clear();
        linkStats.skips = c.skips;
        linkStats.errors = c.errors;
        linkStats.rdyQ = c.rdyQ;
        linkStats.audioPos = c.audioPos;
        linkStats.stuckOnMask = c.stuckOn;
        linkStats.stuckOffMask = c.stuckOff;
        linkStats.audioBytesSeen = c.audioBytesSeen;
        linkStats.audioAllOnes = c.allOnes;
        linkStats.audioAllZero = c.allZero;
        char out[1024];
        const unsigned length = formatMonitorReport(c.paints, c.latency, out, sizeof out);
        EXPECT_EQ(std::string(out), c.text);
        EXPECT_EQ(length, c.text.size());
    }
}

TEST(MonitorReport, SmallBufferIsCutNotOverrun) {
    linkStats.clear();
    linkStats.stuckOffMask = 0xFFFFFF;
    char out[40];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(formatMonitorReport(0, -1, out, 32), 31u);
    EXPECT_EQ(out[31], '\0');
    EXPECT_EQ(out[32], '#');
}

int threadsNamed(const std::string& name) {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++count;
    }
    closedir(dir);
    return count;
}

// The monitor thread lives until the process ends, so it runs in a child.
void monitorLifecycle() {
    DebugCapture debug;
    linkStats.skips = 9;
    startMonitor();  // the first start clears the statistics
    if (linkStats.skips != 0) _exit(1);
    linkStats.skips = 4;
    linkStats.errors = 2;
    linkStats.audioBytesSeen = 2192;
    // The paints below belong to the second report: wait for the first one,
    // however long a loaded machine takes to schedule the new thread.
    for (int i = 0; i < 500 && debug.text().find("paints/s=") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (debug.text().find("paints/s=") == std::string::npos) _exit(7);
    linkStats.paintCounter = 7;
    startMonitor();  // console opened again
    if (threadsNamed("diagnostics") != 1) _exit(2);
    if (linkStats.skips != 4 || linkStats.errors != 2) _exit(3);
    // The next report, due a second after the first, shows the paints and
    // keeps the counts.
    const std::string expected = "paints/s=7, SKIPS=4 ERRORS=2 rdyQ=0 audioPos=0 audioLatency=-1\n";
    std::string text;
    for (int i = 0; i < 100 && text.find(expected) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        text = debug.text();
    }
    if (text.rfind("paints/s=0, SKIPS=", 0) != 0) _exit(4);
    if (text.find(expected) == std::string::npos) _exit(5);
    if (linkStats.paintCounter != 0) _exit(6);
    _exit(0);
}

TEST(Monitor, StartsOnceAndReportsEverySecond) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(monitorLifecycle(), testing::ExitedWithCode(0), "");
}

}  // namespace
