#pragma once
// When a core that died on its own is started again: plain arithmetic, no Win32.
#include <cstdint>

constexpr uint32_t kFirstRestartDelayMs = 1000;
constexpr uint32_t kLongestRestartDelayMs = 60000;
// A run at least this long was a working core: its exit starts the series afresh.
constexpr uint64_t kSteadyRunMs = 10ull * 60 * 1000;
// At this many exits in a row the supervision gives up until the next /start.
constexpr int kExitsBeforeGivingUp = 5;

struct RestartThrottle {
    int exitsInRow = 0;
};

struct RestartDecision {
    bool giveUp = false;
    uint32_t delayMs = 0;
    int restartsMade = 0;  // restarts since the last /start or steady run, for the log
};

// Counts an exit (or a failed restart) after a run of runMs and says what comes next: the next
// start after 1 s, doubling with each exit in a row up to 60 s, or giving up at the fifth.
RestartDecision NoteCoreExit(RestartThrottle& throttle, uint64_t runMs);
