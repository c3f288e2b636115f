#pragma once
#include <cstdint>
#include <string>
#include "base/win.h"

// The one process-wide record of the service runtime; zero at start-up, never freed.
struct ServiceStateData {
    std::wstring serviceName;
    SERVICE_STATUS_HANDLE statusHandle;
    SERVICE_STATUS status;
    DWORD nextCheckPoint;
    bool consoleMode;
    HANDLE stopEvent;
    // Set once the loop has returned; a stop that does not get there in time ends the process.
    HANDLE loopDone;
    uint16_t listenPort;
    CRITICAL_SECTION coreLock;
    // Keeps the stopping report of the control handler from landing after the stopped report.
    CRITICAL_SECTION statusLock;
};

extern ServiceStateData ServiceState;
