#include "service/scm.h"

#include "app/console.h"
#include "app/handles.h"
#include "app/state.h"
#include "service/loop.h"

namespace {

constexpr DWORD kStartWaitHintMs = 3000;
// Longer than the longest core stop: 8000 ms for the break and 3000 ms after termination.
constexpr DWORD kStopWaitHintMs = 12000;

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

}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    ServiceState.statusHandle = RegisterServiceCtrlHandlerExW(ServiceState.serviceName.c_str(),
                                                              ServiceControlHandler, nullptr);
    {
        ScopedLock lock(ServiceState.statusLock);
        ServiceState.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        Report(SERVICE_START_PENDING, 0, NO_ERROR, kStartWaitHintMs, true);
    }
    ServiceState.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        ScopedLock lock(ServiceState.statusLock);
        Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, NO_ERROR, 0, false);
    }
    DWORD result = RunServiceLoop();
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
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    PrintOut("running in console mode, ctrl-c to stop\n");
    RunServiceLoop();
    return 0;
}
