#include "install/remove.h"

#include "base/console.h"
#include "base/event_log.h"
#include "base/handles.h"
#include "base/paths.h"
#include "base/state.h"
#include "install/entries.h"
#include "install/old_service.h"

namespace {

constexpr int kRemoveStopQueries = 20;

// Stops what it can and deletes the registration; a service that ignores the stop stays marked
// for deletion and goes once it has stopped. False while it may still be running.
bool StopAndDelete(SC_HANDLE manager) {
    UniqueServiceHandle service(
        OpenServiceW(manager, ServiceState.serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        return true;
    }
    SERVICE_STATUS status = {};
    bool stopped = ControlService(service.get(), SERVICE_CONTROL_STOP, &status)
                       ? WaitForServiceStop(service.get(), kRemoveStopQueries)
                       : GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    DeleteService(service.get());
    return stopped;
}

void RemoveDataDirectory() {
    std::wstring directory = GetDataDirectory();
    DWORD attributes = GetFileAttributesW(directory.c_str());
    // A link planted at the data directory's path: deleting "our" files through it would
    // delete files wherever it points.
    if (IsReparsePoint(attributes)) {
        RemoveLinkItself(directory, attributes);
        return;
    }
    {
        // Held without delete sharing, so the directory cannot be moved away while its files are
        // deleted; whoever may write to it could still make it a link, which the deletion checks.
        UniqueHandle held = OpenEntryItself(directory, FILE_READ_ATTRIBUTES);
        if (!held || !HandleIsRealDirectory(held.get())) {
            return;
        }
        DeleteDataFiles(held.get());
    }
    RemoveDirectoryW(directory.c_str());
}

}  // namespace

int RemoveService() {
    bool stopped = false;
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager) {
            DWORD error = GetLastError();
            PrintErr("OpenSCManager failed (err=%lu), need admin\n", error);
            PrintErr("%s", ElevationHint(error));
            return kExitNoManager;
        }
        stopped = StopAndDelete(manager.get());
    }
    DeleteEventSource();
    // A service still running writes its log there, as LocalSystem: once the folder is gone, any
    // user could make a new one at that path and point those writes elsewhere.
    if (stopped) {
        RemoveDataDirectory();
    } else {
        PrintErr("data directory kept while the service still runs: %ls\n",
                 GetDataDirectory().c_str());
    }
    PrintOut("service '%ls' removed\n", ServiceState.serviceName.c_str());
    return kExitRemoved;
}
