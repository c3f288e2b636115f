#pragma once
// What the installation tests look at from outside: the registration in the service control
// manager, the Parameters values and the files of the data directory.
#include <string>
#include "app/win.h"

struct ServiceView {
    bool exists = false;
    DWORD state = 0;
    DWORD processId = 0;
    DWORD serviceType = 0;
    DWORD startType = 0;
    std::wstring imagePath;
};

ServiceView ViewService(const std::wstring& name);

// Sends a stop control from outside and waits until the manager reports it stopped.
bool StopServiceFromOutside(const std::wstring& name, DWORD timeoutMs);

// A REG_SZ value of the service's Parameters key; false when it cannot be read.
bool ReadParameterValue(const std::wstring& name, const wchar_t* valueName, std::wstring& value);

// The port in service.conf once GET /version there answers 200; 0 when it never did in time.
int WaitForVersionAnswer(const std::wstring& name, DWORD timeoutMs, std::string* body = nullptr);

// Absolute form of a path, with .. resolved.
std::wstring FullPath(const std::wstring& path);
