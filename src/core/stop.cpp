#include "app/log.h"
#include "core/core.h"

namespace {

void Terminate(HANDLE process) {
    TerminateProcess(process, 0);
    WaitForSingleObject(process, kTerminateWaitMs);
}

}  // namespace

bool SendConsoleBreak(DWORD processId, DWORD& error) {
    // A process has at most one console: let go of ours (console mode) before joining the core's.
    FreeConsole();
    if (!AttachConsole(processId)) {
        error = GetLastError();
        return false;
    }
    // The break travels over the console we now share; CTRL+C must not end the service meanwhile.
    SetConsoleCtrlHandler(nullptr, TRUE);
    bool delivered = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, processId) != FALSE;
    error = delivered ? ERROR_SUCCESS : GetLastError();
    FreeConsole();
    SetConsoleCtrlHandler(nullptr, FALSE);
    return delivered;
}

bool StopProcessWith(BreakSender sendBreak, HANDLE process, DWORD processId, DWORD timeoutMs) {
    DWORD error = ERROR_SUCCESS;
    if (!sendBreak(processId, error)) {
        WriteLog("ctrl-break to %lu failed (err=%lu), terminating", processId, error);
        Terminate(process);
        return false;
    }
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) {
        WriteLog("core %lu exited gracefully", processId);
        return true;
    }
    WriteLog("core %lu did not exit in %lums, terminating", processId, timeoutMs);
    Terminate(process);
    return false;
}

bool StopProcessGracefully(HANDLE process, DWORD processId, DWORD timeoutMs) {
    return StopProcessWith(SendConsoleBreak, process, processId, timeoutMs);
}
