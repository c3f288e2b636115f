#include "install/install.h"

#include "app/console.h"
#include "app/handles.h"
#include "app/log.h"
#include "app/paths.h"
#include "app/state.h"
#include "config/endpoint.h"
#include "config/registry.h"
#include "install/security.h"
#include "install/steps.h"

namespace {

constexpr int kExitInstalled = 0;
constexpr int kExitPlatformFailure = 1;
constexpr int kExitWritableDirectory = 3;
constexpr int kExitOldServiceRunning = 4;

constexpr DWORD kOwnPathUnits = MAX_PATH;
constexpr int kInstallStopQueries = 30;

constexpr DWORD kFailureResetSeconds = 3600;
constexpr DWORD kRestartDelaysMs[] = {5000, 30000, 60000};
constexpr DWORD kRestartCount = sizeof kRestartDelaysMs / sizeof kRestartDelaysMs[0];

// The first entry that lets an untrusted principal write: the executable's directory, then the
// executable itself, which the service will run as LocalSystem. Empty when both pass.
std::wstring FindWritableEntry(const std::wstring& executable) {
    std::wstring directory = DirectoryOfPath(executable);
    if (PathGrantsUntrustedWrite(directory)) {
        return directory;
    }
    if (directory != executable && PathGrantsUntrustedWrite(executable)) {
        return executable;
    }
    return std::wstring();
}

// ERROR_SERVICE_NOT_ACTIVE means it is stopped already.
bool StopOldService(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        return GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    }
    return WaitForServiceStop(service, kInstallStopQueries);
}

void SetFailureActions(SC_HANDLE service) {
    SC_ACTION actions[kRestartCount] = {};
    for (DWORD i = 0; i < kRestartCount; ++i) {
        actions[i].Type = SC_ACTION_RESTART;
        actions[i].Delay = kRestartDelaysMs[i];
    }
    SERVICE_FAILURE_ACTIONSW failure = {};
    failure.dwResetPeriod = kFailureResetSeconds;
    failure.cActions = kRestartCount;
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

// A new token goes with the base port only when the file holds no valid pair, so a token the
// trusted application has read stays valid across reinstallation.
bool EnsureEndpointFile() {
    EndpointInfo existing;
    if (ReadEndpointFile(existing)) {
        return true;
    }
    EndpointInfo fresh;
    fresh.port = ComputeBasePort();
    return GenerateAccessToken(fresh.token) && WriteEndpointFile(fresh);
}

}  // namespace

int InstallService(const std::wstring& corePath, const std::wstring& guiPath) {
    const std::wstring& name = ServiceState.serviceName;

    wchar_t ownPath[kOwnPathUnits] = {};
    DWORD length = GetModuleFileNameW(nullptr, ownPath, kOwnPathUnits);
    DWORD error = GetLastError();
    if (length == 0 || length >= kOwnPathUnits) {
        WriteLog("install: cannot resolve own path (err=%lu)", error);
        PrintErr("cannot resolve own path (err=%lu)\n", error);
        return kExitPlatformFailure;
    }

    for (const std::wstring* executable : {&corePath, &guiPath}) {
        if (executable->empty()) {
            continue;
        }
        std::wstring writable = FindWritableEntry(*executable);
        if (!writable.empty()) {
            WriteLog("refusing to install: '%ls' is writable by non-administrators",
                     writable.c_str());
            PrintErr(
                "refusing to install: '%ls' is writable by non-administrators; install the app "
                "under Program Files first\n",
                writable.c_str());
            return kExitWritableDirectory;
        }
    }

    if (!HardenDataDirectory()) {
        PrintErr("warning: failed to harden %ls\n", GetDataDirectory().c_str());
    }

    std::wstring commandLine = L"\"" + std::wstring(ownPath) + L"\" run --name \"" + name + L"\"";

    // Declared first so it closes last: service handle first, then the manager.
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        error = GetLastError();
        WriteLog("install: OpenSCManager failed (err=%lu), need admin", error);
        PrintErr("OpenSCManager failed (err=%lu), need admin\n", error);
        return kExitPlatformFailure;
    }

    UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (service) {
        if (!StopOldService(service.get())) {
            WriteLog("install: old service did not stop, aborting");
            PrintErr("old service did not stop; aborting install\n");
            return kExitOldServiceRunning;
        }
        if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr)) {
            error = GetLastError();
            WriteLog("install: ChangeServiceConfig failed (err=%lu)", error);
            PrintErr("ChangeServiceConfig failed (err=%lu)\n", error);
            return kExitPlatformFailure;
        }
    } else {
        service.reset(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
        if (!service) {
            error = GetLastError();
            WriteLog("install: CreateService failed (err=%lu)", error);
            PrintErr("CreateService failed (err=%lu)\n", error);
            return kExitPlatformFailure;
        }
    }

    SetFailureActions(service.get());

    // Without CoreBinary the service runs unconfigured, and without GuiBinary it lets any
    // local caller in, so a failed write must not end in "installed and started".
    LONG written = WriteServiceParameters(corePath, guiPath);
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

    if (!StartServiceW(service.get(), 0, nullptr)) {
        error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            WriteLog("install: StartService failed (err=%lu)", error);
            PrintErr("StartService failed (err=%lu)\n", error);
            return kExitPlatformFailure;
        }
    }
    PrintOut("service '%ls' installed and started\n", name.c_str());
    return kExitInstalled;
}
