#include "install/install.h"

#include <array>
#include "base/console.h"
#include "base/event_log.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/state.h"
#include "config/endpoint_file.h"
#include "config/registry.h"
#include "install/old_service.h"
#include "install/harden.h"
#include "install/writability.h"

namespace {

constexpr DWORD kOwnPathUnits = MAX_PATH;
constexpr int kInstallStopQueries = 30;

constexpr DWORD kFailureResetSeconds = 3600;
constexpr DWORD kRestartDelaysMs[] = {5000, 30000, 60000};

// A relative name would be searched for at every start, in folders that anyone may write to;
// the full path is what gets tested and stored. Empty when the path cannot be resolved.
std::wstring ResolveFullPath(const std::wstring& path) {
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return std::wstring();
    }
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) {
        return std::wstring();
    }
    full.resize(length);
    return full;
}

int RefuseWritable(const std::wstring& place) {
    WriteLog("refusing to install: '%ls' is writable by non-administrators", place.c_str());
    PrintErr(
        "refusing to install: '%ls' is writable by non-administrators; install the app under "
        "Program Files first\n",
        place.c_str());
    return kExitWritableDirectory;
}

// ERROR_SERVICE_NOT_ACTIVE means it is stopped already.
bool StopOldService(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        return GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    }
    return WaitForServiceStop(service, kInstallStopQueries);
}

// A valid file is kept byte for byte, so a token the trusted application has read stays valid
// across reinstallation.
bool EnsureEndpointFile() {
    EndpointInfo endpoint;
    EndpointSource source = EndpointSource::kNew;
    if (!SettleEndpoint(endpoint, source)) {
        return false;
    }
    return source != EndpointSource::kNew || WriteEndpointFile(endpoint);
}

// The service manager runs this very program as LocalSystem, so it is tested like the
// programs it will start. kExitInstalled when every given program passes, with the paths to
// store, else the refusal.
int CheckPrograms(const std::array<std::wstring, 3>& given,
                  const std::array<std::wstring, 3>& resolved,
                  std::array<std::wstring, 3>& stored) {
    for (size_t i = 0; i < given.size(); ++i) {
        if (given[i].empty()) {
            continue;
        }
        if (resolved[i].empty()) {
            return RefuseWritable(DirectoryOfPath(given[i]));
        }
        std::wstring writable = FindUntrustedWritablePlace(resolved[i]);
        if (!writable.empty()) {
            return RefuseWritable(writable);
        }
        // Stored as the system resolves it: a caller's image path comes in that long form, which
        // a path with 8.3 names never equals.
        stored[i] = WhereItLeads(resolved[i]);
        std::wstring volume = stored[i].empty() ? resolved[i] : UnjudgedVolume(stored[i]);
        if (!volume.empty()) {
            return RefuseWritable(volume);
        }
    }
    return kExitInstalled;
}

// A platform call that ended the installation: in the log and on the console.
int FailedCall(const char* call, DWORD error) {
    WriteLog("install: %s failed (err=%lu)", call, error);
    PrintErr("%s failed (err=%lu)\n", call, error);
    return kExitPlatformFailure;
}

// Updates the registration once the old service has stopped, or creates it.
int RegisterService(SC_HANDLE manager, const std::wstring& commandLine,
                    UniqueServiceHandle& service) {
    const std::wstring& name = ServiceState.serviceName;
    service.reset(OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS));
    if (service) {
        if (!StopOldService(service.get())) {
            WriteLog("install: old service did not stop, aborting");
            PrintErr("old service did not stop; aborting install\n");
            return kExitOldServiceRunning;
        }
        if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr)) {
            return FailedCall("ChangeServiceConfig", GetLastError());
        }
    } else {
        service.reset(CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
        if (!service) {
            return FailedCall("CreateService", GetLastError());
        }
    }

    return kExitInstalled;
}

// Failure actions, the parameters and the endpoint file, then the start.
int ConfigureAndStart(SC_HANDLE service, const std::wstring& core, const std::wstring& gui) {
    FailureActions failure;
    BuildFailureActions(failure);
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure.record);
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &failure.flag);

    // Without CoreBinary the service runs unconfigured, and without GuiBinary it lets any
    // local caller in, so a failed write must not end in "installed and started".
    LONG written = WriteServiceParameters(core, gui);
    if (written != ERROR_SUCCESS) {
        WriteLog("install: cannot write service parameters (err=%lu)",
                 static_cast<unsigned long>(written));
        PrintErr("cannot write service parameters (err=%lu)\n",
                 static_cast<unsigned long>(written));
        return kExitPlatformFailure;
    }

    if (!EnsureEndpointFile()) {
        PrintErr("failed to write %ls\n", GetEndpointFilePath().c_str());
    }

    if (!StartServiceW(service, 0, nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            return FailedCall("StartService", error);
        }
    }
    return kExitInstalled;
}

}  // namespace

void BuildFailureActions(FailureActions& failure) {
    failure = FailureActions{};
    for (DWORD i = 0; i < 3; ++i) {
        failure.actions[i].Type = SC_ACTION_RESTART;
        failure.actions[i].Delay = kRestartDelaysMs[i];
    }
    failure.record.dwResetPeriod = kFailureResetSeconds;
    failure.record.cActions = 3;
    failure.record.lpsaActions = failure.actions;
    failure.flag.fFailureActionsOnNonCrashFailures = TRUE;
}

int InstallService(const std::wstring& corePath, const std::wstring& guiPath) {
    const std::wstring& name = ServiceState.serviceName;

    // Secured before anything is written into it: the refusals below are logged there, and a
    // directory that someone else controls could send those writes anywhere. For the same reason
    // a failure here goes to the console only.
    DWORD error = HardenDataDirectory();
    if (error != ERROR_SUCCESS) {
        PrintErr("warning: failed to harden %ls\n", GetDataDirectory().c_str());
        PrintErr("cannot secure the data directory (err=%lu)\n", error);
        PrintErr("%s", ElevationHint(error));
        return kExitPlatformFailure;
    }

    wchar_t ownPath[kOwnPathUnits] = {};
    DWORD length = GetModuleFileNameW(nullptr, ownPath, kOwnPathUnits);
    error = GetLastError();
    if (length == 0 || length >= kOwnPathUnits) {
        WriteLog("install: cannot resolve own path (err=%lu)", error);
        PrintErr("cannot resolve own path (err=%lu)\n", error);
        return kExitPlatformFailure;
    }

    std::wstring core = ResolveFullPath(corePath);
    std::wstring gui = guiPath.empty() ? std::wstring() : ResolveFullPath(guiPath);
    std::array<std::wstring, 3> stored;
    int refused = CheckPrograms({ownPath, corePath, guiPath}, {ownPath, core, gui}, stored);
    if (refused != kExitInstalled) {
        return refused;
    }

    std::wstring commandLine = L"\"" + std::wstring(ownPath) + L"\" run --name \"" + name + L"\"";

    // Declared first so it closes last: service handle first, then the manager.
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        error = GetLastError();
        WriteLog("install: OpenSCManager failed (err=%lu), need admin", error);
        PrintErr("OpenSCManager failed (err=%lu), need admin\n", error);
        PrintErr("%s", ElevationHint(error));
        return kExitPlatformFailure;
    }

    UniqueServiceHandle service;
    int registered = RegisterService(manager.get(), commandLine, service);
    if (registered != kExitInstalled) {
        return registered;
    }

    LONG source = AddEventSource(ownPath);
    if (source != ERROR_SUCCESS) {
        PrintErr("warning: cannot register the event source (err=%ld)\n", source);
    }
    int started = ConfigureAndStart(service.get(), stored[1], stored[2]);
    if (started != kExitInstalled) {
        return started;
    }
    PrintOut("service '%ls' installed and started\n", name.c_str());
    return kExitInstalled;
}
