#pragma once
// The launch of the core: checks, the stop of the old core, the job, the start-up window.
#include <string>
#include "base/handles.h"

constexpr DWORD kStartupWindowMs = 1200;

// Puts a process that is still suspended into a new job that ends it, and whatever it started,
// when the job's last handle closes. Joined before the core runs, nothing it starts is born
// outside the job. When the job cannot be made or joined the core still runs, without one.
UniqueHandle JoinKillOnCloseJob(HANDLE process);

// Empty on success, else the error text for the client (UTF-8). Takes the core lock itself.
std::string LaunchCore(const std::wstring& configPath);
