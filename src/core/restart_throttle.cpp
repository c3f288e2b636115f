#include "core/restart_throttle.h"

RestartDecision NoteCoreExit(RestartThrottle& throttle, uint64_t runMs) {
    if (runMs >= kSteadyRunMs) {
        throttle.exitsInRow = 0;
    }
    ++throttle.exitsInRow;
    RestartDecision decision;
    decision.restartsMade = throttle.exitsInRow - 1;
    if (throttle.exitsInRow >= kExitsBeforeGivingUp) {
        decision.giveUp = true;
        return decision;
    }
    uint64_t delay = static_cast<uint64_t>(kFirstRestartDelayMs) << (throttle.exitsInRow - 1);
    decision.delayMs =
        delay > kLongestRestartDelayMs ? kLongestRestartDelayMs : static_cast<uint32_t>(delay);
    return decision;
}
