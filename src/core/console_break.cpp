#include "core/console_break.h"

#include <cwchar>
#include <string>
#include "app/handles.h"
#include "app/process.h"

namespace {

// A break to an id that leads no process group reaches every process on that console, this
// helper among them; handling it keeps the default handler from ending the helper.
BOOL WINAPI IgnoreControl(DWORD) {
    return TRUE;
}

}  // namespace

bool SendConsoleBreak(DWORD processId, DWORD& error) {
    std::wstring self = OwnExecutablePath();
    if (self.empty()) {
        error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    std::wstring commandLine =
        L"\"" + self + L"\" " + kBreakCommandWord + L" " + std::to_wstring(processId);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // Detached: the helper starts without a console of its own and inherits no handle.
    if (!CreateProcessW(self.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                        &info)) {
        error = GetLastError();
        return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    // A console that someone else controls must not hold up the stop without bound.
    DWORD waited = WaitForSingleObject(process.get(), kBreakHelperMs);
    if (waited != WAIT_OBJECT_0) {
        error = waited == WAIT_TIMEOUT ? static_cast<DWORD>(WAIT_TIMEOUT) : GetLastError();
        TerminateProcess(process.get(), 0);
        return false;
    }
    DWORD code = ERROR_SUCCESS;
    if (!GetExitCodeProcess(process.get(), &code)) {
        code = GetLastError();
    }
    error = code;
    return code == ERROR_SUCCESS;
}

int RunBreakHelper(const wchar_t* processIdText) {
    wchar_t* end = nullptr;
    unsigned long processId = wcstoul(processIdText, &end, 10);
    if (end == processIdText || *end != L'\0' || processId == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    FreeConsole();
    if (!AttachConsole(static_cast<DWORD>(processId))) {
        return static_cast<int>(GetLastError());
    }
    SetConsoleCtrlHandler(IgnoreControl, TRUE);
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(processId))) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}
