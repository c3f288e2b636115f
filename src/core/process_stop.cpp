#include "core/process_stop.h"

#include "base/log.h"
#include "core/console_break.h"

namespace {

void Terminate(HANDLE process) {
    TerminateProcess(process, 0);
    WaitForSingleObject(process, kTerminateWaitMs);
}

}  // namespace

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
