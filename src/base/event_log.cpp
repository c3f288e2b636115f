#include "base/event_log.h"

#include <initializer_list>
#include <vector>
#include "base/handles.h"
#include "base/log.h"
#include "base/process.h"
#include "base/state.h"
#include "event_messages.h"

namespace {

constexpr wchar_t kApplicationLogKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr DWORD kMessageFileUnits = 32768;

std::wstring SourceKeyPath() {
    return kApplicationLogKey + ServiceState.serviceName;
}

// The file name of a path: the part after its last backslash.
std::wstring FileNameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Whether the source of that name is missing or ours: its messages come from a program of our
// file name (any copy of velmora.exe that installed it).
bool SourceIsOursOrAbsent() {
    std::vector<wchar_t> file(kMessageFileUnits, L'\0');
    DWORD size = kMessageFileUnits * sizeof(wchar_t);
    LONG read = RegGetValueW(HKEY_LOCAL_MACHINE, SourceKeyPath().c_str(), L"EventMessageFile",
                             RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                             file.data(), &size);
    if (read == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    return read == ERROR_SUCCESS &&
           _wcsicmp(FileNameOf(file.data()).c_str(), FileNameOf(OwnExecutablePath()).c_str()) == 0;
}

// Registered on first use, for the life of the process; null when the log refused it.
HANDLE EventSource() {
    static HANDLE source = RegisterEventSourceW(nullptr, ServiceState.serviceName.c_str());
    return source;
}

// The service's name is the first insertion string of every message.
void Report(WORD type, DWORD eventId, std::initializer_list<std::string> texts) {
    HANDLE source = EventSource();
    if (source == nullptr) {
        return;
    }
    std::vector<std::wstring> strings = {ServiceState.serviceName};
    for (const std::string& text : texts) {
        strings.push_back(FromUtf8(text));
    }
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& s : strings) {
        pointers.push_back(s.c_str());
    }
    ReportEventW(source, type, 0, eventId, nullptr, static_cast<WORD>(pointers.size()), 0,
                 pointers.data(), nullptr);
}

std::string Number(unsigned long value) {
    return FormatText("%lu", value);
}

}  // namespace

LONG AddEventSource(const std::wstring& messageFile) {
    if (!SourceIsOursOrAbsent()) {
        return ERROR_ALREADY_EXISTS;
    }
    UniqueRegKey key;
    LONG result =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath().c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    result = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(messageFile.c_str()),
                            static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS) {
        return result;
    }
    DWORD types = kEventTypesSupported;
    return RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&types), sizeof types);
}

LONG DeleteEventSource() {
    if (!SourceIsOursOrAbsent()) {
        return ERROR_ACCESS_DENIED;
    }
    return RegDeleteKeyW(HKEY_LOCAL_MACHINE, SourceKeyPath().c_str());
}

void ReportServiceStarted(int port) {
    Report(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTED,
           {Number(static_cast<unsigned long>(port))});
}

void ReportServiceStopped(DWORD exitCode) {
    Report(exitCode == 0 ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE, MSG_SERVICE_STOPPED,
           {Number(exitCode)});
}

void ReportCoreEnded(DWORD processId, DWORD exitCode) {
    Report(EVENTLOG_WARNING_TYPE, MSG_CORE_ENDED, {Number(processId), Number(exitCode)});
}

void ReportCoreGivenUp(int restarts) {
    Report(EVENTLOG_ERROR_TYPE, MSG_CORE_GIVEN_UP, {Number(static_cast<unsigned long>(restarts))});
}

void ReportStopForced(DWORD deadlineMs) {
    Report(EVENTLOG_ERROR_TYPE, MSG_STOP_FORCED, {Number(deadlineMs)});
}

void WriteFatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FormatTextV(format, args);
    va_end(args);
    WriteLog("FATAL: %s", message.c_str());
    Report(EVENTLOG_ERROR_TYPE, MSG_SERVICE_FATAL, {EscapeLogText(message)});
}
