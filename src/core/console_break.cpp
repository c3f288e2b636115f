#include "core/console_break.h"

#include <string>
#include "base/handles.h"
#include "base/process.h"

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
    // Decimal digits only: AttachConsole takes (DWORD)-1 as "my parent's console", and a sign, an
    // overflow or wcstoul's leniency about both would produce it.
    unsigned long long processId = 0;
    const wchar_t* digit = processIdText;
    for (; *digit != L'\0'; ++digit) {
        if (*digit < L'0' || *digit > L'9') {
            return ERROR_INVALID_PARAMETER;
        }
        processId = processId * 10 + static_cast<unsigned long long>(*digit - L'0');
        if (processId >= ATTACH_PARENT_PROCESS) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    if (digit == processIdText || processId == 0) {
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
