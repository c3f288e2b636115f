#pragma once
// The stop of one process: a console break, then termination.
#include "base/win.h"

constexpr DWORD kGracefulStopMs = 8000;
constexpr DWORD kTerminateWaitMs = 3000;

// Delivers CTRL_BREAK_EVENT to the process group that processId leads. On failure returns false
// with the Win32 error of the step that failed.
using BreakSender = bool (*)(DWORD processId, DWORD& error);

// Console break, then termination; true when the process exited after the break in time.
bool StopProcessGracefully(HANDLE process, DWORD processId, DWORD timeoutMs);

// StopProcessGracefully with the way the break is delivered passed in.
bool StopProcessWith(BreakSender sendBreak, HANDLE process, DWORD processId, DWORD timeoutMs);
