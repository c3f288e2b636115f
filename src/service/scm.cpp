#include "service/scm.h"

#include "base/console.h"
#include "base/event_log.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/state.h"
#include "service/loop.h"

namespace {

constexpr DWORD kStartWaitHintMs = 3000;
// The stopping report promises the whole bound; the checkpoint moves on while the loop works.
constexpr DWORD kStopWaitHintMs = kStopDeadlineMs;
constexpr DWORD kStopCheckpointMs = 5000;
constexpr DWORD kFinalFlushMs = 1000;

// Fills the status record and sends it. Called with the status lock held.
void Report(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD waitHint, bool pending) {
    SERVICE_STATUS& status = ServiceState.status;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controlsAccepted;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = pending ? ServiceState.nextCheckPoint++ : 0;
    if (ServiceState.statusHandle != nullptr) {
        SetServiceStatus(ServiceState.statusHandle, &status);
    }
}

// Whatever the loop is blocked in (a held file, a core that will not die, a helper that hangs),
// a stop ends the process within the bound: without its record the service looks stopped with
// ERROR_TIMEOUT, and closing the process's handles ends the core through its job.
DWORD WINAPI WatchStop(void*) {
    WaitForSingleObject(ServiceState.stopEvent, INFINITE);
    ULONGLONG deadline = GetTickCount64() + kStopDeadlineMs;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            break;
        }
        DWORD slice = static_cast<DWORD>(deadline - now);
        if (WaitForSingleObject(ServiceState.loopDone,
                                slice < kStopCheckpointMs ? slice : kStopCheckpointMs) ==
            WAIT_OBJECT_0) {
            return 0;
        }
        ScopedLock lock(ServiceState.statusLock);
        if (ServiceState.status.dwCurrentState == SERVICE_STOP_PENDING) {
            Report(SERVICE_STOP_PENDING, 0, NO_ERROR, kStopWaitHintMs, true);
        }
    }
    WriteLog("service loop did not stop in %lums, ending the process", kStopDeadlineMs);
    ReportStopForced(kStopDeadlineMs);
    FlushLog(kFinalFlushMs);
    {
        ScopedLock lock(ServiceState.statusLock);
        Report(SERVICE_STOPPED, 0, ERROR_TIMEOUT, 0, false);
    }
    TerminateProcess(GetCurrentProcess(), ERROR_TIMEOUT);
    return 0;
}

void StartStopWatch() {
    ServiceState.loopDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UniqueHandle watcher(CreateThread(nullptr, 0, WatchStop, nullptr, 0, nullptr));
}

}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    ServiceState.statusHandle = RegisterServiceCtrlHandlerExW(ServiceState.serviceName.c_str(),
                                                              ServiceControlHandler, nullptr);
    // Without the handler no stop could ever reach the loop.
    if (ServiceState.statusHandle == nullptr) {
        DWORD error = GetLastError();
        WriteLog("cannot register the service control handler (err=%lu)", error);
        return;
    }
    {
        ScopedLock lock(ServiceState.statusLock);
        ServiceState.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        Report(SERVICE_START_PENDING, 0, NO_ERROR, kStartWaitHintMs, true);
    }
    ServiceState.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    StartStopWatch();
    {
        ScopedLock lock(ServiceState.statusLock);
        Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, NO_ERROR, 0, false);
    }
    DWORD result = RunServiceLoop();
    SetEvent(ServiceState.loopDone);
    FlushLog(kFinalFlushMs);
    ReportServiceStopped(result);
    ScopedLock lock(ServiceState.statusLock);
    Report(SERVICE_STOPPED, 0, result, 0, false);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            ScopedLock lock(ServiceState.statusLock);
            // The loop may have ended on its own already; a stopping report after the
            // stopped one would leave the service looking alive.
            if (ServiceState.status.dwCurrentState != SERVICE_STOPPED) {
                Report(SERVICE_STOP_PENDING, 0, NO_ERROR, kStopWaitHintMs, true);
            }
            SetEvent(ServiceState.stopEvent);
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

BOOL WINAPI ConsoleControlHandler(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        SetEvent(ServiceState.stopEvent);
        return TRUE;
    }
    return FALSE;
}

int RunServiceDispatcher() {
    SERVICE_TABLE_ENTRYW table[] = {{&ServiceState.serviceName[0], ServiceMain},
                                    {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        DWORD error = GetLastError();
        PrintErr("not started by SCM (err=%lu); use 'console' to debug\n", error);
        return 1;
    }
    return 0;
}

int RunConsole() {
    ServiceState.consoleMode = true;
    ServiceState.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    StartStopWatch();
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    PrintOut("running in console mode, ctrl-c to stop\n");
    DWORD result = RunServiceLoop();
    SetEvent(ServiceState.loopDone);
    ReportServiceStopped(result);
    return 0;
}
