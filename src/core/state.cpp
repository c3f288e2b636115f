#include "core/core.h"

CoreStateData CoreState{};

bool IsProcessAlive(HANDLE process) {
    // Exit code 259 (STILL_ACTIVE) is also a code a process can exit with; only the process
    // object itself tells a live process from an ended one.
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

bool StopCore() {
    if (!CoreState.running) {
        return true;
    }
    bool graceful = true;
    if (IsProcessAlive(CoreState.processInfo.hProcess)) {
        graceful = StopProcessGracefully(CoreState.processInfo.hProcess,
                                         CoreState.processInfo.dwProcessId, kGracefulStopMs);
    }
    ForgetCore();
    return graceful;
}

bool IsCoreRunning() {
    if (!CoreState.running) {
        return false;
    }
    if (IsProcessAlive(CoreState.processInfo.hProcess)) {
        return true;
    }
    ForgetCore();
    return false;
}

void ForgetCore() {
    if (CoreState.processInfo.hProcess != nullptr) {
        CloseHandle(CoreState.processInfo.hProcess);
    }
    if (CoreState.processInfo.hThread != nullptr) {
        CloseHandle(CoreState.processInfo.hThread);
    }
    // The job ends with its last handle, and with it whatever the core started.
    if (CoreState.job != nullptr) {
        CloseHandle(CoreState.job);
        CoreState.job = nullptr;
    }
    CoreState.processInfo = PROCESS_INFORMATION{};
    CoreState.running = false;
}
