#pragma once
// The launch of the core: checks, the stop of the old core, the job, the start-up window.
#include <string>
#include "app/win.h"

constexpr DWORD kStartupWindowMs = 1200;

// Empty on success, else the error text for the client (UTF-8). Takes the core lock itself.
std::string LaunchCore(const std::wstring& configPath);
