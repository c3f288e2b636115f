#include "base/paths.h"

#include <vector>
#include "base/state.h"
#include "base/win.h"

namespace {

// The whole value, however long: a path built from a truncated buffer would name another folder.
std::wstring ReadProgramData() {
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer.data(),
                                               static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        // Too small: length is the size needed, terminator included. The value may also have
        // grown between the calls, so ask again.
        buffer.assign(static_cast<size_t>(length) + 1, L'\0');
    }
}

}  // namespace

std::wstring GetDataDirectory() {
    std::wstring base = ReadProgramData();
    if (base.empty()) {
        base = L"C:\\ProgramData";
    }
    return base + L"\\" + ServiceState.serviceName;
}

std::wstring GetEndpointFilePath() {
    return GetDataDirectory() + L"\\service.conf";
}

std::wstring GetCoreStderrLogPath() {
    return GetDataDirectory() + L"\\core.stderr.log";
}

std::wstring GetRotatedCoreStderrLogPath() {
    return GetDataDirectory() + L"\\core.stderr.log.1";
}

std::wstring GetServiceLogPath() {
    return GetDataDirectory() + L"\\service.log";
}

std::wstring GetRotatedServiceLogPath() {
    return GetDataDirectory() + L"\\service.log.1";
}
