// A service that takes the stop control and never stops: an old service that hangs, as the
// installer and removal meet it. Registered and started by the tests themselves.
#include "base/win.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status = {
    SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};

DWORD WINAPI IgnoreControls(DWORD, DWORD, LPVOID, LPVOID) {
    SetServiceStatus(statusHandle, &status);
    return NO_ERROR;
}

void WINAPI StubbornMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(L"", IgnoreControls, nullptr);
    SetServiceStatus(statusHandle, &status);
    Sleep(INFINITE);
}

}  // namespace

int wmain() {
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, StubbornMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
