#pragma once
// Link statistics: each field has one writer; the diagnostics monitor reads
// them without locks. Relaxed atomics keep the single-writer counters race-free.
#include <atomic>
#include <cstdint>

struct LinkStatistics {
    std::atomic<int32_t> skips{0};           // reader thread
    std::atomic<int32_t> errors{0};          // reader thread
    std::atomic<uint32_t> stuckOnMask{0};    // frame decoding (UI thread)
    std::atomic<uint32_t> stuckOffMask{0};   // frame decoding (UI thread)
    std::atomic<int32_t> paintCounter{0};    // screen windows (UI thread)
    std::atomic<int32_t> rdyQ{0};            // reader thread
    std::atomic<int32_t> audioPos{0};        // audio callback thread
    std::atomic<int32_t> audioBytesSeen{0};  // reader thread
    std::atomic<bool> audioAllOnes{false};   // reader thread
    std::atomic<bool> audioAllZero{false};   // reader thread

    void clear();
};

extern LinkStatistics linkStats;
