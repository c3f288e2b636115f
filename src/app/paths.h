#pragma once
#include <string>

// Every path is recomputed from ProgramData and the service name at each use.
std::wstring GetDataDirectory();
std::wstring GetEndpointFilePath();
std::wstring GetCoreStderrLogPath();
std::wstring GetServiceLogPath();
std::wstring GetRotatedServiceLogPath();
