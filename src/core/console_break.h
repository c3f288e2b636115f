#pragma once
// The console break, sent from a short-lived copy of velmora.exe so that the service's own
// console state never changes and a break that reaches every process of the target's console
// cannot end the service.
#include "base/win.h"

// Internal command word of the helper; the usage text does not list it.
constexpr wchar_t kBreakCommandWord[] = L"send-ctrl-break";

// Time the helper is given; past it the helper is ended and the break counts as failed.
constexpr DWORD kBreakHelperMs = 5000;

// Service side: runs "<own path>" send-ctrl-break <processId> and waits for it. On failure
// returns false with the helper's exit code (its Win32 error), or the error of starting it or
// waiting for it.
bool SendConsoleBreak(DWORD processId, DWORD& error);

// Helper side: attaches to the console of the process, sends CTRL_BREAK_EVENT to the group it
// leads and returns 0 or the Win32 error of the step that failed.
int RunBreakHelper(const wchar_t* processIdText);
