#include "service_probe.h"

#include <vector>
#include "app/handles.h"
#include "config/endpoint.h"
#include "support.h"

ServiceView ViewService(const std::wstring& name) {
    ServiceView view;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        return view;
    }
    view.exists = true;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        view.state = status.dwCurrentState;
        view.processId = status.dwProcessId;
    }
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        view.serviceType = config->dwServiceType;
        view.startType = config->dwStartType;
        view.imagePath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
    }
    return view;
}

bool StopServiceFromOutside(const std::wstring& name, DWORD timeoutMs) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        return false;
    }
    SERVICE_STATUS status = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    return WaitUntil(
        [&] {
            SERVICE_STATUS now = {};
            return QueryServiceStatus(service.get(), &now) && now.dwCurrentState == SERVICE_STOPPED;
        },
        timeoutMs, 100);
}

bool ReadParameterValue(const std::wstring& name, const wchar_t* valueName, std::wstring& value) {
    std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + name + L"\\Parameters";
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), valueName, RRF_RT_REG_SZ, nullptr, buffer,
                     &size) != ERROR_SUCCESS) {
        return false;
    }
    value = buffer;
    return true;
}

int WaitForVersionAnswer(const std::wstring& name, DWORD timeoutMs, std::string* body) {
    int answered = 0;
    WaitUntil(
        [&] {
            EndpointInfo info;
            if (!ParseEndpointText(ReadFileBytes(DataDirectoryOf(name) + L"\\service.conf"),
                                   info)) {
                return false;
            }
            HttpResult result = SendRequest(info.port, "GET", "/version");
            if (result.status != 200) {
                return false;
            }
            answered = info.port;
            if (body != nullptr) {
                *body = result.body;
            }
            return true;
        },
        timeoutMs, 200);
    return answered;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}
