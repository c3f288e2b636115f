#pragma once
#include <string>
#include "app/win.h"

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

// Console break to the process group, then termination; true when it exited after the break.
bool StopProcessGracefully(HANDLE process, DWORD processId, DWORD timeoutMs);

// Empty on success, else the error text for the client (UTF-8). Takes the core lock itself.
std::string LaunchCore(const std::wstring& configPath);

// The last non-blank line of the last 4096 bytes of core.stderr.log.
std::string ReadStderrTail();
// The same over bytes already read.
std::string LastNonBlankLine(const std::string& bytes);

// Stops every process running corePath; false when one had to be terminated.
bool SweepStrayCores(const std::wstring& corePath);
