#pragma once
// The core's command line and working directory, as plain logic over paths.
#include <string>

// False when the path cannot travel inside double quotes intact: it holds '"' or a NUL.
bool IsQuotablePath(const std::wstring& path);

// "X:\..." or "\\server\share\...": anything else would be found from the service's current
// folder or drive, which is not the trusted application's.
bool IsFullPath(const std::wstring& path);

// "<core>" run -c "<config>", quoted so that the core's argument parser gives back the config
// path unchanged. Both paths must be quotable.
std::wstring BuildCoreCommandLine(const std::wstring& corePath, const std::wstring& configPath);

// The folder of the config path (up to its last backslash), or empty text when the path holds
// no backslash and the core is to inherit the service's current directory.
std::wstring CoreWorkingDirectory(const std::wstring& configPath);
