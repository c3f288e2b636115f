#pragma once
#include <string>

// Every path is recomputed from ProgramData and the service name at each use.
std::wstring GetDataDirectory();
std::wstring GetEndpointFilePath();
std::wstring GetCoreStderrLogPath();
std::wstring GetRotatedCoreStderrLogPath();
std::wstring GetServiceLogPath();
std::wstring GetRotatedServiceLogPath();

// Every file the service may leave in its data directory, in the order removal deletes them.
constexpr const wchar_t* kDataFileNames[] = {
    L"service.conf",      L"service.conf.tmp", L"core.stderr.log",
    L"core.stderr.log.1", L"service.log",      L"service.log.1",
};
