#include "support.h"

#include <tlhelp32.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>
#include <psapi.h>
#include "base/text.h"

namespace {

// Every test program talks to sockets; Winsock is started once for its whole run.
const ScopedWinsock kWinsock;

// ctest waits until the test's output is closed: no program a test starts may hold a copy.
const bool kOutputNotInherited = [] {
    for (DWORD id : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        SetHandleInformation(GetStdHandle(id), HANDLE_FLAG_INHERIT, 0);
    }
    return true;
}();

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

sockaddr_in AddressOf(const char* address, int port) {
    sockaddr_in result = {};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<u_short>(port));
    inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

// value: object, string, or a bare word (number, true, false, null) under its path.
bool ReadJson(const std::string& text, size_t& at, const std::string& path,
              std::map<std::string, std::string>& fields) {
    auto skip = [&] { at = text.find_first_not_of(" \t\r\n", at); };
    auto take = [&](char c) { return skip(), at < text.size() && text[at] == c && ++at; };
    auto string = [&](std::string& out) {
        static const std::string escapes = "\"\"\\\\//b\bf\fn\nr\rt\t";
        for (bool quoted = take('"'); quoted && at < text.size(); ++at) {
            char c = text[at];
            if (c == '"') {
                return ++at, true;
            }
            if (c == '\\') {
                size_t found = ++at < text.size() ? escapes.find(text[at]) : std::string::npos;
                if (found == std::string::npos || found % 2 != 0) {
                    return false;
                }
                c = escapes[found + 1];
            } else if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            out += c;
        }
        return false;
    };
    skip();
    if (at < text.size() && text[at] == '"') {
        return string(fields[path]);
    }
    if (take('{')) {
        fields[path] = "{}";
        if (take('}')) {
            return true;
        }
        do {
            std::string name;
            if (!string(name) || !take(':') ||
                !ReadJson(text, at, path.empty() ? name : path + "." + name, fields)) {
                return false;
            }
        } while (take(','));
        return take('}');
    }
    size_t end = text.find_first_of(",}] \t\r\n", at);
    std::string word = text.substr(at, end - at);
    at = end;
    char* rest = nullptr;
    strtod(word.c_str(), &rest);
    fields[path] = word;
    return word == "null" || word == "true" || word == "false" || (!word.empty() && !*rest);
}

}  // namespace

std::wstring TestDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path);
    return full.substr(0, full.find_last_of(L'\\'));
}

std::wstring ProgramPath(const std::wstring& exeName) {
    return TestDirectory() + L"\\" + exeName;
}

std::wstring PrivateStandin(const std::wstring& folderName) {
    std::wstring folder = TempFolder() + folderName;
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring path = folder + L"\\standin-core.exe";
    return CopyFileW(ProgramPath(L"standin-core.exe").c_str(), path.c_str(), FALSE) ? path : L"";
}

StartedCore StartStandin(const std::wstring& exe, const std::wstring& config, DWORD flags) {
    std::wstring commandLine = L"\"" + exe + L"\" run -c \"" + config + L"\"";
    // Standard handles given as none: without them Wine hands a child that inherits nothing
    // copies of ours, and ctest would wait for its output pipe as long as a stray lives.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION info = {};
    CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                   &startup, &info);
    return StartedCore{UniqueHandle(info.hProcess), UniqueHandle(info.hThread), info.dwProcessId};
}

std::wstring UniqueServiceName(const std::wstring& prefix) {
    static std::atomic<int> counter{0};
    // Wine reuses small process ids quickly: the tick count keeps runs apart.
    return prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64() % 100000) + L"-" + std::to_wstring(++counter);
}

std::wstring DataDirectoryOf(const std::wstring& serviceName) {
    std::vector<wchar_t> base(32768, L'\0');
    bool set = GetEnvironmentVariableW(L"ProgramData", base.data(), 32768) != 0;
    return (set ? std::wstring(base.data()) : L"C:\\ProgramData") + L"\\" + serviceName;
}

std::wstring ServiceDataDirectoryOf(const std::wstring& serviceName) {
    return (RunningUnderWine() ? L"C:\\users\\Public\\" : L"C:\\ProgramData\\") + serviceName;
}

int ExpectedBasePort(const std::wstring& serviceName) {
    uint32_t hash = 2166136261u;
    for (wchar_t unit : serviceName) {
        hash = (hash ^ static_cast<uint16_t>(unit)) * 16777619u;
    }
    return 17800 + static_cast<int>(hash % 400);
}

ScopedProgramData::ScopedProgramData(const std::wstring& existing) : root(existing) {
    DWORD size = GetEnvironmentVariableW(L"ProgramData", nullptr, 0);
    hadValue_ = size != 0;
    std::vector<wchar_t> value(size + 1, L'\0');
    GetEnvironmentVariableW(L"ProgramData", value.data(), size + 1);
    saved_ = value.data();
    if (root.empty()) {
        root = TempFolder() + UniqueServiceName(L"velmora-root");
        owned_ = CreateDirectoryW(root.c_str(), nullptr) != FALSE;
    }
    SetEnvironmentVariableW(L"ProgramData", root.c_str());
}

ScopedProgramData::~ScopedProgramData() {
    SetEnvironmentVariableW(L"ProgramData", hadValue_ ? saved_.c_str() : nullptr);
    std::error_code ignored;
    if (owned_) {
        std::filesystem::remove_all(root, ignored);
    }
}

std::vector<std::wstring> EntriesOf(const std::wstring& dir) {
    std::vector<std::wstring> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(std::filesystem::path(path), std::ios::binary);
    return file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush().good();
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD stepMs) {
    for (ULONGLONG deadline = GetTickCount64() + timeoutMs; !condition(); Sleep(stepMs)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
    }
    return true;
}

DWORD ChildProcess::Wait(DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    if (process && WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.get(), &code);
    }
    return code;
}

void ChildProcess::Kill() {
    if (process) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
    }
}

bool StartProgram(const std::wstring& exe, const std::wstring& arguments, ChildProcess& child) {
    static std::atomic<int> counter{0};
    std::wstring stem = TempFolder() + L"velmora-test-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(++counter);
    child.stdoutPath = stem + L".out";
    child.stderrPath = stem + L".err";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    auto capture = [&](const std::wstring& path) {
        return UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    UniqueHandle out = capture(child.stdoutPath);
    UniqueHandle err = capture(child.stderrPath);
    UniqueHandle in(
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info)) {
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
    child.Kill();
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
    WaitUntil(
        [&] {
            return Log().find("listening on 127.0.0.1:", logged) != std::string::npos ||
                   child.Wait(0) != STILL_ACTIVE;
        },
        timeoutMs);
    std::string conf = ReadFileBytes(DataDirectoryOf(name) + L"\\service.conf");
    size_t at = conf.find("\ntoken=");
    if (child.Wait(0) != STILL_ACTIVE || conf.rfind("port=", 0) != 0 || at == std::string::npos) {
        return false;
    }
    port = std::atoi(conf.c_str() + 5);
    token = conf.substr(at + 7, conf.find('\n', at + 7) - at - 7);
    return port > 0;
}

std::string ConsoleService::Log() const {
    return ReadFileBytes(DataDirectoryOf(name) + L"\\service.log");
}

bool ConsoleService::LogShows(const std::string& text, DWORD timeoutMs) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
}

UniqueSocket ListenOn(const char* address, int port, int option) {
    UniqueSocket s(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    BOOL on = TRUE;
    if (option != 0) {
        setsockopt(s.get(), SOL_SOCKET, option, reinterpret_cast<const char*>(&on), sizeof on);
    }
    sockaddr_in local = AddressOf(address, port);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(s.get(), SOMAXCONN) != 0) {
        s.reset();
    }
    return s;
}

UniqueSocket ConnectLoopback(int port, const char* address, const char* from) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in local = AddressOf(from != nullptr ? from : "0.0.0.0", 0);
    sockaddr_in remote = AddressOf(address, port);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(s.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        s.reset();
    }
    return s;
}

std::string ReceiveAll(SOCKET connection, DWORD timeoutMs) {
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    std::string all;
    char buffer[4096];
    for (int n; (n = recv(connection, buffer, sizeof buffer, 0)) > 0;) {
        all.append(buffer, static_cast<size_t>(n));
    }
    return all;
}

HttpResult SendRaw(int port, const std::string& request, DWORD receiveTimeoutMs) {
    HttpResult result;
    UniqueSocket s = ConnectLoopback(port);
    if (s) {
        send(s.get(), request.data(), static_cast<int>(request.size()), 0);
        result.raw = ReceiveAll(s.get(), receiveTimeoutMs);
        sscanf_s(result.raw.c_str(), "HTTP/1.1 %d", &result.status);
        size_t bodyStart = result.raw.find("\r\n\r\n");
        if (bodyStart != std::string::npos) {
            result.body = result.raw.substr(bodyStart + 4);
        }
    }
    return result;
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

bool SetParameter(const std::wstring& serviceName, const std::wstring& valueName,
                  const std::wstring& value) {
    std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName + L"\\Parameters";
    return RegSetKeyValueW(
               HKEY_LOCAL_MACHINE, key.c_str(), valueName.c_str(), REG_SZ, value.c_str(),
               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

void DeleteParameters(const std::wstring& serviceName) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                   (L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName).c_str());
}

std::vector<DWORD> ProcessesRunning(const std::wstring& imagePath) {
    std::vector<DWORD> ids;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        UniqueHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        wchar_t path[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (process && QueryFullProcessImageNameW(process.get(), 0, path, &size) &&
            _wcsicmp(path, imagePath.c_str()) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    return ids;
}

void EndProcessesOf(const std::wstring& imagePath) {
    for (DWORD id : ProcessesRunning(imagePath)) {
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
    }
}

std::string Filled(std::string text, const std::string& placeholder, const std::string& value) {
    for (size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

std::string WithoutCr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::wstring OwnImagePath() {
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    QueryFullProcessImageNameW(GetCurrentProcess(), 0, path, &size);
    return path;
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

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
            return static_cast<double>(
                       ULARGE_INTEGER{{t.dwLowDateTime, t.dwHighDateTime}}.QuadPart) /
                   10000.0;
        };
        usage.measured = true;
        usage.handles = handles;
        usage.memoryBytes = counters.PrivateUsage;
        usage.cpuMs = ms(kernel) + ms(user);
        return usage;
    }
    // Z:\proc\<id> of the Linux process of velmora.exe whose command line holds the marker.
    std::wstring dir;
    WIN32_FIND_DATAW entry;
    UniqueFind search(FindFirstFileW(L"Z:\\proc\\*", &entry));
    for (BOOL more = search.valid(); more && dir.empty();
         more = FindNextFileW(search.get(), &entry)) {
        std::wstring candidate = L"Z:\\proc\\" + std::wstring(entry.cFileName);
        std::string commandLine = ReadFileBytes(candidate + L"\\cmdline");
        if (iswdigit(entry.cFileName[0]) && commandLine.find(ToUtf8(marker)) != std::string::npos &&
            commandLine.find("velmora.exe") != std::string::npos) {
            dir = candidate;
        }
    }
    if (dir.empty()) {
        return usage;
    }
    usage.handles = EntriesOf(dir + L"\\fd").size();
    std::string status = ReadFileBytes(dir + L"\\status");
    size_t rss = status.find("VmRSS:");
    if (rss != std::string::npos) {
        usage.memoryBytes = std::strtoull(status.c_str() + rss + 6, nullptr, 10) * 1024;
    }
    // Fields 14 and 15 of stat, after the name in parentheses: user and system time in 10ms ticks.
    std::string stat = ReadFileBytes(dir + L"\\stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string skipped;
    for (int field = 3; field < 14; ++field) {
        fields >> skipped;
    }
    unsigned long long userTicks = 0, systemTicks = 0;
    if (fields >> userTicks >> systemTicks) {
        usage.cpuMs = 10.0 * static_cast<double>(userTicks + systemTicks);
    }
    usage.measured = usage.handles > 0 && usage.memoryBytes > 0;
    return usage;
}

bool ParseJsonObject(const std::string& text, std::map<std::string, std::string>& fields) {
    fields.clear();
    size_t at = text.find_first_not_of(" \t\r\n");
    bool parsed = at < text.size() && text[at] == '{' && ReadJson(text, at, "", fields);
    fields.erase("");
    return parsed && text.find_first_not_of(" \t\r\n", at) == std::string::npos;
}
