#include "core/tracked_core.h"

#include "base/event_log.h"
#include "base/log.h"
#include "base/state.h"
#include "core/launch.h"
#include "core/process_stop.h"

CoreStateData CoreState;

namespace {

// Counts the exit and schedules the next start, or gives up until the next /start.
void PlanRestart(uint64_t ranMs) {
    RestartDecision next = NoteCoreExit(CoreState.supervision.throttle, ranMs);
    CoreState.supervision.restartPending = !next.giveUp;
    CoreState.supervision.givenUp = next.giveUp;
    if (next.giveUp) {
        WriteLog("core keeps exiting, giving up after %d restarts", next.restartsMade);
        ReportCoreGivenUp(next.restartsMade);
        return;
    }
    CoreState.supervision.restartAt = GetTickCount64() + next.delayMs;
}

bool IsProcessAlive(HANDLE process) {
    // Exit code 259 (STILL_ACTIVE) is also a code a process can exit with; only the process
    // object itself tells a live process from an ended one.
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

void RecordExit(HANDLE process, const std::string& line) {
    CoreExit& exit = CoreState.supervision.lastExit;
    exit.code = 0;
    GetExitCodeProcess(process, &exit.code);
    GetSystemTimeAsFileTime(&exit.at);
    exit.line = line;
    CoreState.supervision.exited = true;
}

}  // namespace

bool StopCore() {
    if (!CoreState.running) {
        return true;
    }
    bool graceful = true;
    if (IsProcessAlive(CoreState.processInfo.hProcess.get())) {
        graceful = StopProcessGracefully(CoreState.processInfo.hProcess.get(),
                                         CoreState.processInfo.dwProcessId, kGracefulStopMs);
    }
    ForgetCore();
    return graceful;
}

bool IsCoreRunning() {
    if (!CoreState.running) {
        return false;
    }
    if (IsProcessAlive(CoreState.processInfo.hProcess.get())) {
        return true;
    }
    NoteCoreEnded();
    return false;
}

void ForgetCore() {
    // The job goes first: it ends whatever the core started, and with the last of them the
    // write end of the output pipe, so the reader can drain to the end before it is let go.
    CoreState.job.reset();
    CoreSupervision supervision = std::move(CoreState.supervision);
    CoreState = CoreStateData{};
    CoreState.supervision = std::move(supervision);
}

void AdoptCore(UniqueProcessInformation core, UniqueHandle job, UniqueStderrCapture capture,
               FILETIME createdAtUtc) {
    CoreState.processInfo = std::move(core);
    CoreState.job = std::move(job);
    CoreState.stderrCapture = std::move(capture);
    CoreState.startedAt = GetTickCount64();
    CoreState.startedAtUtc = createdAtUtc;
    CoreState.running = true;
}

void NoteEarlyExit(HANDLE process, const std::string& line) {
    RecordExit(process, line);
}

HANDLE TrackedCoreProcess() {
    return CoreState.running ? CoreState.processInfo.hProcess.get() : nullptr;
}

void NoteCoreEnded() {
    if (!CoreState.running) {
        return;
    }
    DWORD processId = CoreState.processInfo.dwProcessId;
    UniqueHandle process = std::move(CoreState.processInfo.hProcess);
    uint64_t ranMs = GetTickCount64() - CoreState.startedAt;
    ForgetCore();
    // Read once the output reader has drained what the core wrote last.
    RecordExit(process.get(), ReadStderrTail());
    const CoreExit& exit = CoreState.supervision.lastExit;
    if (exit.line.empty()) {
        WriteLog("core %lu exited (code=%lu)", processId, exit.code);
    } else {
        WriteLog("core %lu exited (code=%lu): %s", processId, exit.code, exit.line.c_str());
    }
    ReportCoreEnded(processId, exit.code);
    PlanRestart(ranMs);
}

void EndRestartSeries() {
    CoreState.supervision.restartPending = false;
    CoreState.supervision.givenUp = false;
    CoreState.supervision.throttle = RestartThrottle{};
}

void BeginStartSeries(const std::wstring& configPath) {
    EndRestartSeries();
    CoreState.supervision = CoreSupervision{};
    CoreState.supervision.configPath = configPath;
}

CoreReport ReportCore() {
    CoreReport report;
    const CoreSupervision& supervision = CoreState.supervision;
    if (IsCoreRunning()) {
        report.stage = CoreStage::kRunning;
        report.pid = CoreState.processInfo.dwProcessId;
        report.startedAt = CoreState.startedAtUtc;
    } else if (supervision.restartPending) {
        report.stage = CoreStage::kRestarting;
        report.restartInMs = RestartDueInMs();
    } else if (supervision.givenUp) {
        report.stage = CoreStage::kGivenUp;
    }
    report.configPath = supervision.configPath;
    report.restarts = supervision.restarts;
    report.exited = supervision.exited;
    report.lastExit = supervision.lastExit;
    return report;
}

DWORD RestartDueInMs() {
    if (!CoreState.supervision.restartPending) {
        return INFINITE;
    }
    ULONGLONG now = GetTickCount64();
    return now >= CoreState.supervision.restartAt
               ? 0
               : static_cast<DWORD>(CoreState.supervision.restartAt - now);
}

void RunDueRestart() {
    std::wstring configPath;
    {
        ScopedLock lock(ServiceState.coreLock);
        if (RestartDueInMs() != 0) {
            return;
        }
        CoreState.supervision.restartPending = false;
        ++CoreState.supervision.restarts;
        configPath = CoreState.supervision.configPath;
    }
    std::string error = LaunchCore(configPath);
    if (!error.empty()) {
        WriteLog("%s", error.c_str());
        ScopedLock lock(ServiceState.coreLock);
        PlanRestart(0);
    }
}
