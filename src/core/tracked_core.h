#pragma once
// The tracked core: its record, whether it still runs, its stop and forgetting it.
#include "base/handles.h"
#include <string>
#include "core/restart_throttle.h"
#include "core/stderr_log.h"

// PROCESS_INFORMATION whose handles close themselves.
struct UniqueProcessInformation {
    UniqueHandle hProcess;
    UniqueHandle hThread;
    DWORD dwProcessId = 0;
    DWORD dwThreadId = 0;
};

// An end of the core that nobody asked for.
struct CoreExit {
    DWORD code = 0;
    FILETIME at = {};  // UTC
    std::string line;  // the last line of its output, or empty
};

// What outlives each core: the configuration of the last /start, which restarts use, the exits
// in a row and what the trusted application is shown of them. Reset by a /start.
struct CoreSupervision {
    std::wstring configPath;
    RestartThrottle throttle;
    bool restartPending = false;
    ULONGLONG restartAt = 0;
    bool givenUp = false;
    int restarts = 0;
    bool exited = false;
    CoreExit lastExit;
};

// Every use happens under ServiceState.coreLock. Forgetting the core is a reset of the record,
// all but its supervision.
struct CoreStateData {
    bool running = false;
    UniqueProcessInformation processInfo;
    UniqueHandle job;
    UniqueStderrCapture stderrCapture;
    ULONGLONG startedAt = 0;     // when it passed its start-up window
    FILETIME startedAtUtc = {};  // when it was created
    CoreSupervision supervision;
};

extern CoreStateData CoreState;

// Caller holds the core lock. StopCore returns graceful. IsCoreRunning notes a core found ended
// as the loop does (NoteCoreEnded).
bool StopCore();
bool IsCoreRunning();
void ForgetCore();

// Caller holds the core lock. Tracks a core that passed its start-up window: the one place the
// record is filled.
void AdoptCore(UniqueProcessInformation core, UniqueHandle job, UniqueStderrCapture capture,
               FILETIME createdAtUtc);

// Caller holds the core lock. A core that ended within its start-up window, for the record.
void NoteEarlyExit(HANDLE process, const std::string& line);

// Caller holds the core lock. The tracked core's process, for the loop to wait on; null when
// none is tracked.
HANDLE TrackedCoreProcess();

// Caller holds the core lock. The tracked core ended without anyone asking: logged with its exit
// code and last line of output, forgotten, and started again after the throttle's delay, or
// given up on.
void NoteCoreEnded();

// Caller holds the core lock. A /start or /stop takes over: no restart stays pending and the
// series of exits starts afresh.
void EndRestartSeries();

// Caller holds the core lock. A /start: what the last series showed is forgotten and its
// configuration becomes the one restarts use.
void BeginStartSeries(const std::wstring& configPath);

enum class CoreStage { kStopped, kRunning, kRestarting, kGivenUp };

// The tracked core as the trusted application sees it.
struct CoreReport {
    CoreStage stage = CoreStage::kStopped;
    DWORD pid = 0;
    std::wstring configPath;  // empty: no /start yet
    FILETIME startedAt = {};
    int restarts = 0;
    DWORD restartInMs = 0;
    bool exited = false;
    CoreExit lastExit;
};

// Caller holds the core lock. Notes an ended core first, as IsCoreRunning does.
CoreReport ReportCore();

// Caller holds the core lock. Milliseconds until a pending restart is due; INFINITE when none.
DWORD RestartDueInMs();

// Caller does NOT hold the core lock (the launch takes it). Runs a pending restart that is due,
// through the same launch as /start.
void RunDueRestart();
