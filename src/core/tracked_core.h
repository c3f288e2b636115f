#pragma once
// The tracked core: its record, whether it still runs, its stop and forgetting it.
#include "app/handles.h"
#include "core/stderr_log.h"

// PROCESS_INFORMATION whose handles close themselves.
struct UniqueProcessInformation {
    UniqueHandle hProcess;
    UniqueHandle hThread;
    DWORD dwProcessId = 0;
    DWORD dwThreadId = 0;
};

// Every use happens under ServiceState.coreLock. Forgetting the core is a reset of the record.
struct CoreStateData {
    bool running = false;
    UniqueProcessInformation processInfo;
    UniqueHandle job;
    UniqueStderrCapture stderrCapture;
};

extern CoreStateData CoreState;

// Caller holds the core lock. StopCore returns graceful.
bool StopCore();
bool IsCoreRunning();
void ForgetCore();
