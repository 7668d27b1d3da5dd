#include "core/link_stats.h"

LinkStatistics linkStats;

void LinkStatistics::clear() {
    skips = 0;
    errors = 0;
    stuckOnMask = 0;
    stuckOffMask = 0;
    paintCounter = 0;
    rdyQ = 0;
    audioPos = 0;
    audioBytesSeen = 0;
    audioAllOnes = false;
    audioAllZero = false;
}
