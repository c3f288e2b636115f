#pragma once
#include <string>
#include "app/win.h"
#include "core/command.h"
#include "core/tail.h"

// The tracked core; every use happens under ServiceState.coreLock.
struct CoreStateData {
    bool running;
    PROCESS_INFORMATION processInfo;
    HANDLE job;
};

extern CoreStateData CoreState;

constexpr DWORD kGracefulStopMs = 8000;
constexpr DWORD kTerminateWaitMs = 3000;
constexpr DWORD kStartupWindowMs = 1200;

// Caller holds the core lock.
bool StopCore();
bool IsCoreRunning();
void ForgetCore();

// True while the process has not ended; a failed wait counts as ended.
bool IsProcessAlive(HANDLE process);

// Console break to the process group, then termination; true when it exited after the break.
bool StopProcessGracefully(HANDLE process, DWORD processId, DWORD timeoutMs);

// Delivers CTRL_BREAK_EVENT to the process group that processId leads. On failure returns false
// with the Win32 error of the call that failed.
using BreakSender = bool (*)(DWORD processId, DWORD& error);
bool SendConsoleBreak(DWORD processId, DWORD& error);

// StopProcessGracefully with the way the break is delivered passed in.
bool StopProcessWith(BreakSender sendBreak, HANDLE process, DWORD processId, DWORD timeoutMs);

// Empty on success, else the error text for the client (UTF-8). Takes the core lock itself.
std::string LaunchCore(const std::wstring& configPath);

// The last non-blank line of the last 4096 bytes of core.stderr.log.
std::string ReadStderrTail();

// Stops every process running corePath; false when one had to be terminated.
bool SweepStrayCores(const std::wstring& corePath);
