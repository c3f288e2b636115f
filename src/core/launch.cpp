#include "core/launch.h"

#include <cstdio>
#include <vector>
#include "app/handles.h"
#include "app/log.h"
#include "app/state.h"
#include "app/text.h"
#include "config/registry.h"
#include "core/command.h"
#include "core/stderr_log.h"
#include "core/stop.h"
#include "core/sweep.h"
#include "core/tracked_core.h"

namespace {

constexpr DWORD kCoreCreationFlags = CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW;

enum class LaunchStep { kCreateFailed, kExitedEarly, kStarted };

struct LaunchOutcome {
    LaunchStep step = LaunchStep::kCreateFailed;
    DWORD error = ERROR_SUCCESS;
    DWORD processId = 0;
    std::string tail;
};

// A PROC_THREAD_ATTRIBUTE_HANDLE_LIST: the only handles a child may inherit.
struct InheritList {
    std::vector<HANDLE> handles;
    std::vector<unsigned char> storage;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;

    InheritList() = default;
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;
    ~InheritList() {
        if (list != nullptr) {
            DeleteProcThreadAttributeList(list);
        }
    }

    bool Build() {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage.assign(size, 0);
        auto candidate = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (!InitializeProcThreadAttributeList(candidate, 1, 0, &size)) {
            return false;
        }
        list = candidate;
        return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                         handles.size() * sizeof(HANDLE), nullptr,
                                         nullptr) != FALSE;
    }
};

// Runs with the core lock held: from the stop of the old core to the end of the start-up window.
LaunchOutcome StartCoreLocked(const std::wstring& corePath, const std::wstring& configPath) {
    StopCore();
    SweepStrayCores(corePath);

    // Every launch truncates core.stderr.log; the core writes into a pipe whose reader keeps
    // the file under its cap.
    UniqueHandle outputEnd;
    bool fileOpened = false;
    UniqueStderrCapture capture = StartStderrCapture(outputEnd, fileOpened);
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    UniqueHandle nullInput(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ, &inheritable,
                                       OPEN_EXISTING, 0, nullptr));

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    DWORD flags = kCoreCreationFlags | CREATE_SUSPENDED;
    BOOL inheritHandles = FALSE;
    // Sockets are inheritable by default: without the list the core would hold the listening
    // socket and the /start connection open for as long as it runs.
    InheritList inherit;
    if (outputEnd) {
        inherit.handles.push_back(outputEnd.get());
        if (nullInput) {
            inherit.handles.push_back(nullInput.get());
        }
        if (inherit.Build()) {
            startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
            startup.StartupInfo.hStdInput = nullInput.get();
            startup.StartupInfo.hStdOutput = outputEnd.get();
            startup.StartupInfo.hStdError = outputEnd.get();
            startup.lpAttributeList = inherit.list;
            flags |= EXTENDED_STARTUPINFO_PRESENT;
            inheritHandles = TRUE;
        }
    }

    std::wstring commandLine = BuildCoreCommandLine(corePath, configPath);
    std::wstring workingDirectory = CoreWorkingDirectory(configPath);
    PROCESS_INFORMATION info = {};
    // The checked file is the program started, whatever the command line's first word says.
    BOOL created = CreateProcessW(
        corePath.c_str(), &commandLine[0], nullptr, nullptr, inheritHandles, flags, nullptr,
        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup.StartupInfo, &info);
    LaunchOutcome outcome;
    outcome.error = created ? ERROR_SUCCESS : GetLastError();
    // The core holds its own copies; the pipe breaks when the last of them is closed.
    outputEnd.reset();
    nullInput.reset();
    if (!created) {
        return outcome;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);

    // Joined while still suspended, so that nothing the core starts is born outside the job.
    // When the job cannot be made or joined the core still runs, without one.
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof limits);
        AssignProcessToJobObject(job.get(), process.get());
    }
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        outcome.error = GetLastError();
        TerminateProcess(process.get(), 0);
        WaitForSingleObject(process.get(), kTerminateWaitMs);
        return outcome;
    }

    outcome.processId = info.dwProcessId;
    if (WaitForSingleObject(process.get(), kStartupWindowMs) == WAIT_OBJECT_0) {
        outcome.step = LaunchStep::kExitedEarly;
        // The job ends what the core started; the tail is read once the reader has drained.
        job.reset();
        capture.reset();
        // Without a file of this launch the tail would be an earlier run's text.
        if (inheritHandles && fileOpened) {
            outcome.tail = ReadStderrTail();
        }
        return outcome;
    }
    CoreState.processInfo.hProcess = std::move(process);
    CoreState.processInfo.hThread = std::move(thread);
    CoreState.processInfo.dwProcessId = info.dwProcessId;
    CoreState.processInfo.dwThreadId = info.dwThreadId;
    CoreState.job = std::move(job);
    CoreState.stderrCapture = std::move(capture);
    CoreState.startedAt = GetTickCount64();
    CoreState.supervision.configPath = configPath;
    CoreState.running = true;
    outcome.step = LaunchStep::kStarted;
    return outcome;
}

}  // namespace

std::string LaunchCore(const std::wstring& configPath) {
    std::wstring corePath = ReadServiceParameter(L"CoreBinary");
    if (corePath.empty()) {
        return "service misconfigured: CoreBinary registry value missing";
    }
    // A path that cannot be quoted intact would start another program or read another file.
    if (!IsQuotablePath(corePath) ||
        GetFileAttributesW(corePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return "core binary not found: " + ToUtf8(corePath);
    }
    if (!IsQuotablePath(configPath) ||
        GetFileAttributesW(configPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return "config not found: " + ToUtf8(configPath);
    }

    LaunchOutcome outcome;
    {
        ScopedLock lock(ServiceState.coreLock);
        outcome = StartCoreLocked(corePath, configPath);
    }
    switch (outcome.step) {
        case LaunchStep::kCreateFailed: {
            char text[128];
            snprintf(text, sizeof text, "CreateProcess failed (err=%lu)", outcome.error);
            return text;
        }
        case LaunchStep::kExitedEarly:
            WriteLog("core exited early: %s", outcome.tail.c_str());
            return outcome.tail.empty() ? "core exited immediately" : outcome.tail;
        case LaunchStep::kStarted:
            break;
    }
    WriteLog("core started pid=%lu", outcome.processId);
    return std::string();
}
