#include "core/tracked_core.h"

#include "core/stop.h"

CoreStateData CoreState;

namespace {

bool IsProcessAlive(HANDLE process) {
    // Exit code 259 (STILL_ACTIVE) is also a code a process can exit with; only the process
    // object itself tells a live process from an ended one.
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

}  // namespace

bool StopCore() {
    if (!CoreState.running) {
        return true;
    }
    bool graceful = true;
    if (IsProcessAlive(CoreState.processInfo.hProcess.get())) {
        graceful = StopProcessGracefully(CoreState.processInfo.hProcess.get(),
                                         CoreState.processInfo.dwProcessId, kGracefulStopMs);
    }
    ForgetCore();
    return graceful;
}

bool IsCoreRunning() {
    if (!CoreState.running) {
        return false;
    }
    if (IsProcessAlive(CoreState.processInfo.hProcess.get())) {
        return true;
    }
    ForgetCore();
    return false;
}

void ForgetCore() {
    // The job goes first: it ends whatever the core started, and with the last of them the
    // write end of the output pipe, so the reader can drain to the end before it is let go.
    CoreState.job.reset();
    CoreState = CoreStateData{};
}
