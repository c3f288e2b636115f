#include "core/launch.h"

#include <cstdio>
#include <vector>
#include "base/handles.h"
#include "base/log.h"
#include "base/state.h"
#include "base/text.h"
#include "config/registry.h"
#include "core/command.h"
#include "core/stderr_log.h"
#include "core/process_stop.h"
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

// The core's standard handles: output and error into the capture's pipe, input from NUL, and
// no other handle inherited.
struct CoreHandles {
    UniqueHandle outputEnd;
    UniqueHandle nullInput;
    bool fileOpened = false;
    InheritList inherit;
    bool redirected = false;
};

UniqueStderrCapture PrepareHandles(CoreHandles& handles, STARTUPINFOEXW& startup, DWORD& flags) {
    UniqueStderrCapture capture = StartStderrCapture(handles.outputEnd, handles.fileOpened);
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    handles.nullInput.reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ, &inheritable,
                                        OPEN_EXISTING, 0, nullptr));
    // Sockets are inheritable by default: without the list the core would hold the listening
    // socket and the /start connection open for as long as it runs.
    if (!handles.outputEnd) {
        return capture;
    }
    handles.inherit.handles.push_back(handles.outputEnd.get());
    if (handles.nullInput) {
        handles.inherit.handles.push_back(handles.nullInput.get());
    }
    if (handles.inherit.Build()) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = handles.nullInput.get();
        startup.StartupInfo.hStdOutput = handles.outputEnd.get();
        startup.StartupInfo.hStdError = handles.outputEnd.get();
        startup.lpAttributeList = handles.inherit.list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
        handles.redirected = true;
    }
    return capture;
}

// Runs with the core lock held: from the stop of the old core to the end of the start-up window.
LaunchOutcome StartCoreLocked(const std::wstring& corePath, const std::wstring& configPath) {
    StopCore();
    SweepStrayCores(corePath);

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    DWORD flags = kCoreCreationFlags | CREATE_SUSPENDED;
    CoreHandles handles;
    UniqueStderrCapture capture = PrepareHandles(handles, startup, flags);

    std::wstring commandLine = BuildCoreCommandLine(corePath, configPath);
    std::wstring workingDirectory = CoreWorkingDirectory(configPath);
    PROCESS_INFORMATION info = {};
    FILETIME createdAt = {};
    GetSystemTimeAsFileTime(&createdAt);
    // The checked file is the program started, whatever the command line's first word says.
    BOOL created = CreateProcessW(corePath.c_str(), &commandLine[0], nullptr, nullptr,
                                  handles.redirected ? TRUE : FALSE, flags, nullptr,
                                  workingDirectory.empty() ? nullptr : workingDirectory.c_str(),
                                  &startup.StartupInfo, &info);
    LaunchOutcome outcome;
    outcome.error = created ? ERROR_SUCCESS : GetLastError();
    // The core holds its own copies; the pipe breaks when the last of them is closed.
    handles.outputEnd.reset();
    handles.nullInput.reset();
    if (!created) {
        return outcome;
    }
    UniqueProcessInformation core;
    core.hProcess.reset(info.hProcess);
    core.hThread.reset(info.hThread);
    core.dwProcessId = info.dwProcessId;
    core.dwThreadId = info.dwThreadId;

    UniqueHandle job = JoinKillOnCloseJob(core.hProcess.get());
    if (ResumeThread(core.hThread.get()) == static_cast<DWORD>(-1)) {
        outcome.error = GetLastError();
        TerminateProcess(core.hProcess.get(), 0);
        WaitForSingleObject(core.hProcess.get(), kTerminateWaitMs);
        return outcome;
    }

    outcome.processId = info.dwProcessId;
    if (WaitForSingleObject(core.hProcess.get(), kStartupWindowMs) == WAIT_OBJECT_0) {
        outcome.step = LaunchStep::kExitedEarly;
        // The job ends what the core started; the tail is read once the reader has drained.
        job.reset();
        capture.reset();
        // Without a file of this launch the tail would be an earlier run's text.
        if (handles.redirected && handles.fileOpened) {
            outcome.tail = ReadStderrTail();
        }
        NoteEarlyExit(core.hProcess.get(), outcome.tail);
        return outcome;
    }
    AdoptCore(std::move(core), std::move(job), std::move(capture), createdAt);
    outcome.step = LaunchStep::kStarted;
    return outcome;
}

}  // namespace

UniqueHandle JoinKillOnCloseJob(HANDLE process) {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof limits);
        AssignProcessToJobObject(job.get(), process);
    }
    return job;
}

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
    if (!IsFullPath(configPath)) {
        return "config path must be absolute: " + ToUtf8(configPath);
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
