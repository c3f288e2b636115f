#include "support.h"

#include <tlhelp32.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <psapi.h>
#include "app/text.h"
#include "config/endpoint.h"

std::wstring TestDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path);
    return full.substr(0, full.find_last_of(L'\\'));
}

std::wstring ProgramPath(const std::wstring& exeName) {
    return TestDirectory() + L"\\" + exeName;
}

std::wstring UniqueServiceName(const std::wstring& prefix) {
    static std::atomic<int> counter{0};
    // Wine reuses small process ids quickly: the tick count keeps runs apart.
    return prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64() % 100000) + L"-" + std::to_wstring(++counter);
}

std::wstring DataDirectoryOf(const std::wstring& serviceName) {
    std::vector<wchar_t> base(32768, L'\0');
    if (GetEnvironmentVariableW(L"ProgramData", base.data(), 32768) == 0) {
        return L"C:\\ProgramData\\" + serviceName;
    }
    return std::wstring(base.data()) + L"\\" + serviceName;
}

std::wstring ServiceProgramData() {
    if (!RunningUnderWine()) {
        return L"C:\\ProgramData";
    }
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"Public",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS) {
        return L"C:\\users\\Public";
    }
    wchar_t expanded[MAX_PATH] = {};
    ExpandEnvironmentStringsW(value, expanded, MAX_PATH);
    return expanded;
}

std::wstring ServiceDataDirectoryOf(const std::wstring& serviceName) {
    return ServiceProgramData() + L"\\" + serviceName;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    UniqueFile file;
    if (_wfopen_s(file.put(), path.c_str(), L"rb") != 0 || !file) {
        return bytes;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        bytes.append(buffer, n);
    }
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    UniqueFile file;
    if (_wfopen_s(file.put(), path.c_str(), L"wb") != 0 || !file) {
        return false;
    }
    return fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD stepMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(stepMs);
    }
}

DWORD ChildProcess::Wait(DWORD timeoutMs) {
    if (!process) {
        return STILL_ACTIVE;
    }
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

void ChildProcess::Kill() {
    if (process) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
    }
}

std::string ChildProcess::Stdout() const {
    return ReadFileBytes(stdoutPath);
}
std::string ChildProcess::Stderr() const {
    return ReadFileBytes(stderrPath);
}

namespace {

UniqueHandle CreateCaptureFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::wstring EnvironmentWith(const std::wstring& extra) {
    std::wstring block;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* p = current; *p != L'\0'; p += wcslen(p) + 1) {
        block.append(p);
        block.push_back(L'\0');
    }
    FreeEnvironmentStringsW(current);
    size_t start = 0;
    while (start < extra.size()) {
        size_t end = extra.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = extra.size();
        }
        block.append(extra, start, end - start);
        block.push_back(L'\0');
        start = end + 1;
    }
    block.push_back(L'\0');
    return block;
}

}  // namespace

bool StartProgram(const std::wstring& exe, const std::wstring& arguments, ChildProcess& child,
                  const std::wstring& extraEnvironment) {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring stem = std::wstring(temp) + L"velmora-test-" +
                        std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    child.stdoutPath = stem + L".out";
    child.stderrPath = stem + L".err";
    UniqueHandle out = CreateCaptureFile(child.stdoutPath);
    UniqueHandle err = CreateCaptureFile(child.stderrPath);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueHandle in(
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    std::wstring environment;
    if (!extraEnvironment.empty()) {
        environment = EnvironmentWith(extraEnvironment);
    }
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT, environment.empty() ? nullptr : &environment[0],
                        nullptr, &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    child.process.reset(info.hProcess);
    child.pid = info.dwProcessId;
    return true;
}

DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments, std::string* out,
                 std::string* err, DWORD timeoutMs) {
    ChildProcess child;
    if (!StartProgram(exe, arguments, child)) {
        return static_cast<DWORD>(-1);
    }
    DWORD code = child.Wait(timeoutMs);
    if (code == STILL_ACTIVE) {
        child.Kill();
    }
    if (out != nullptr) {
        *out = child.Stdout();
    }
    if (err != nullptr) {
        *err = child.Stderr();
    }
    return code;
}

bool ConsoleService::Start(const std::wstring& serviceName, DWORD timeoutMs) {
    name = serviceName;
    // Only a line written by this start counts: the log keeps the lines of earlier runs.
    size_t logged = Log().size();
    if (!StartProgram(ProgramPath(L"velmora.exe"), L"console --name \"" + name + L"\"", child)) {
        return false;
    }
    // The log line comes after service.conf is written, so the file is complete by then.
    bool listening = WaitUntil(
        [&] {
            std::string log = Log();
            return (log.size() > logged &&
                    log.find("listening on 127.0.0.1:", logged) != std::string::npos) ||
                   child.Wait(0) != STILL_ACTIVE;
        },
        timeoutMs);
    if (!listening || child.Wait(0) != STILL_ACTIVE) {
        return false;
    }
    EndpointInfo info;
    ParseEndpointText(ReadFileBytes(DataDirectoryOf(name) + L"\\service.conf"), info);
    port = info.port;
    token = info.token;
    return port > 0;
}

std::string ConsoleService::Log() const {
    return ReadFileBytes(DataDirectoryOf(name) + L"\\service.log");
}

UniqueSocket ConnectLoopback(int port) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        s.reset();
    }
    return s;
}

HttpResult SendRaw(int port, const std::string& request, DWORD receiveTimeoutMs) {
    HttpResult result;
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    UniqueSocket s = ConnectLoopback(port);
    if (!s) {
        WSACleanup();
        return result;
    }
    result.connected = true;
    DWORD timeout = receiveTimeoutMs;
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    if (!request.empty()) {
        send(s.get(), request.data(), static_cast<int>(request.size()), 0);
    }
    char buffer[4096];
    int n;
    while ((n = recv(s.get(), buffer, sizeof buffer, 0)) > 0) {
        result.raw.append(buffer, static_cast<size_t>(n));
    }
    s.reset();
    WSACleanup();
    ParseResponse(result.raw, result.status, result.body);
    return result;
}

void ParseResponse(const std::string& raw, int& status, std::string& body) {
    status = 0;
    int parsed = 0;
    if (sscanf_s(raw.c_str(), "HTTP/1.1 %d", &parsed) == 1) {
        status = parsed;
    }
    size_t bodyStart = raw.find("\r\n\r\n");
    body = bodyStart != std::string::npos ? raw.substr(bodyStart + 4) : std::string();
}

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::wstring OwnImagePath() {
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    QueryFullProcessImageNameW(GetCurrentProcess(), 0, path, &size);
    return path;
}

HttpResult SendRequest(int port, const std::string& method, const std::string& path,
                       const std::string& token, const std::string& body) {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.empty()) {
        request += "x-auth-token: " + token + "\r\n";
    }
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return SendRaw(port, request);
}

namespace {

std::wstring ParametersKey(const std::wstring& serviceName) {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName + L"\\Parameters";
}

bool SetValue(const std::wstring& serviceName, const std::wstring& valueName, DWORD type,
              const void* data, DWORD size) {
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersKey(serviceName).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExW(key.get(), valueName.c_str(), 0, type, static_cast<const BYTE*>(data),
                          size) == ERROR_SUCCESS;
}

}  // namespace

bool SetParameter(const std::wstring& serviceName, const std::wstring& valueName,
                  const std::wstring& value) {
    return SetValue(serviceName, valueName, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool SetParameterDword(const std::wstring& serviceName, const std::wstring& valueName,
                       DWORD value) {
    return SetValue(serviceName, valueName, REG_DWORD, &value, sizeof value);
}

void DeleteParameters(const std::wstring& serviceName) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                   (L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName).c_str());
}

std::vector<DWORD> ProcessesRunning(const std::wstring& imagePath) {
    std::vector<DWORD> ids;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        UniqueHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) {
            continue;
        }
        wchar_t path[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process.get(), 0, path, &size) &&
            _wcsicmp(path, imagePath.c_str()) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    return ids;
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {

// The Linux process id whose command line holds the marker, or empty text.
std::wstring FindLinuxProcess(const std::string& marker) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    std::wstring found;
    do {
        std::wstring id = entry.cFileName;
        if (id.empty() || id.find_first_not_of(L"0123456789") != std::wstring::npos) {
            continue;
        }
        std::string commandLine = ReadFileBytes(L"Z:\\proc\\" + id + L"\\cmdline");
        if (commandLine.find(marker) != std::string::npos &&
            commandLine.find("velmora.exe") != std::string::npos) {
            found = id;
        }
    } while (found.empty() && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

}  // namespace

ProcessUsage MeasureProcess(HANDLE process, const std::wstring& marker) {
    ProcessUsage usage;
    DWORD handles = 0;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    FILETIME created, exited, kernel, user;
    if (GetProcessHandleCount(process, &handles) && handles > 0 &&
        K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof counters) &&
        counters.PrivateUsage > 0 && GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        auto ms = [](const FILETIME& t) {
            return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                       t.dwLowDateTime) /
                   10000.0;
        };
        usage.measured = true;
        usage.handles = handles;
        usage.memoryBytes = counters.PrivateUsage;
        usage.cpuMs = ms(kernel) + ms(user);
        return usage;
    }
    std::wstring id = FindLinuxProcess(ToUtf8(marker));
    if (id.empty()) {
        return usage;
    }
    std::wstring base = L"Z:\\proc\\" + id;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((base + L"\\fd\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (entry.cFileName[0] != L'.') {
                ++usage.handles;
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    std::string status = ReadFileBytes(base + L"\\status");
    size_t rss = status.find("VmRSS:");
    if (rss != std::string::npos) {
        usage.memoryBytes = std::strtoull(status.c_str() + rss + 6, nullptr, 10) * 1024;
    }
    // Fields 14 and 15 of stat are user and system time in clock ticks (100 a second here).
    std::string stat = ReadFileBytes(base + L"\\stat");
    size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::vector<std::string> fields;
        size_t at = close + 2;
        while (at < stat.size() && fields.size() < 13) {
            size_t end = stat.find(' ', at);
            fields.push_back(stat.substr(at, end - at));
            at = end == std::string::npos ? stat.size() : end + 1;
        }
        if (fields.size() == 13) {
            usage.cpuMs =
                10.0 * static_cast<double>(std::strtoull(fields[11].c_str(), nullptr, 10) +
                                           std::strtoull(fields[12].c_str(), nullptr, 10));
        }
    }
    usage.measured = usage.handles > 0 && usage.memoryBytes > 0;
    return usage;
}
