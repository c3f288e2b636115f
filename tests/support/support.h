#pragma once
// What the tests share: finding the programs under test, running them, talking HTTP to them and
// reading what they leave behind. No test reaches into a running velmora.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "app/handles.h"

// A program built next to the test program, e.g. ProgramPath(L"velmora.exe").
std::wstring ProgramPath(const std::wstring& exeName);
// The folder of the test program.
std::wstring TestDirectory();

// A service name no other test (or earlier run) uses: prefix, process id and a counter.
std::wstring UniqueServiceName(const std::wstring& prefix);

// %ProgramData%\<name> and the files in it, as velmora computes them.
std::wstring DataDirectoryOf(const std::wstring& serviceName);

// The ProgramData that services started by the service control manager see. On Windows it is
// C:\ProgramData like everyone's; Wine 8 gives services its Public folder (C:\users\Public), so
// tests that compare an installer's files with a service's pass this to the installer.
std::wstring ServiceProgramData();
std::wstring ServiceDataDirectoryOf(const std::wstring& serviceName);

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// Polls until the condition holds or the time is up; true when it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD stepMs = 50);

// A started program with its standard output and error in files.
struct ChildProcess {
    UniqueHandle process;
    DWORD pid = 0;
    std::wstring stdoutPath;
    std::wstring stderrPath;

    // Exit code once it has ended within timeoutMs; STILL_ACTIVE otherwise.
    DWORD Wait(DWORD timeoutMs);
    void Kill();
    std::string Stdout() const;
    std::string Stderr() const;
};

// Starts `"<exe>" <arguments>` with output captured; false when it could not start.
// extraEnvironment holds "NAME=value" pairs added to this process's environment.
bool StartProgram(const std::wstring& exe, const std::wstring& arguments, ChildProcess& child,
                  const std::wstring& extraEnvironment = L"");

// Runs a program to its end (at most timeoutMs) and returns its exit code.
DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments, std::string* out = nullptr,
                 std::string* err = nullptr, DWORD timeoutMs = 60000);

// velmora.exe console --name <name>, waiting until service.conf names a port that accepts.
struct ConsoleService {
    std::wstring name;
    ChildProcess child;
    int port = 0;
    std::string token;

    bool Start(const std::wstring& serviceName, DWORD timeoutMs = 20000);
    // Hard stop: there is no Ctrl+C from inside Wine; the job ends any core with it.
    void Kill() { child.Kill(); }
    std::string Log() const;
};

struct HttpResult {
    bool connected = false;
    int status = 0;  // 0 when no status line came back (the connection was closed silently)
    std::string raw;
    std::string body;
};

// Status code (0 without a status line) and body of a response's raw bytes.
void ParseResponse(const std::string& raw, int& status, std::string& body);

// A TCP connection to 127.0.0.1:port; invalid when it could not connect.
UniqueSocket ConnectLoopback(int port);

// Sends the bytes as they are to 127.0.0.1:port and reads until the server closes.
HttpResult SendRaw(int port, const std::string& request, DWORD receiveTimeoutMs = 15000);
// A well-formed request with an optional token header and body.
HttpResult SendRequest(int port, const std::string& method, const std::string& path,
                       const std::string& token = "", const std::string& body = "");

// Registry values of the service's Parameters key (HKLM), for tests that stand in for install.
bool SetParameter(const std::wstring& serviceName, const std::wstring& valueName,
                  const std::wstring& value);
bool SetParameterDword(const std::wstring& serviceName, const std::wstring& valueName, DWORD value);
void DeleteParameters(const std::wstring& serviceName);

// Ids of running processes whose image is exactly this path (case-insensitive).
std::vector<DWORD> ProcessesRunning(const std::wstring& imagePath);

// Resources of a running program. Under Wine the Win32 queries answer only for the calling
// process, so the Linux process whose command line holds `marker` is read through Z:\proc:
// handles are its open file descriptors, memory its resident set, CPU its user and system time.
struct ProcessUsage {
    bool measured = false;
    unsigned long long handles = 0;
    unsigned long long memoryBytes = 0;
    double cpuMs = 0;
};
ProcessUsage MeasureProcess(HANDLE process, const std::wstring& marker);

// How often needle occurs in text (log lines, for example).
size_t CountOf(const std::string& text, const std::string& needle);

// This test program's image path, as the service sees a caller's (for GuiBinary).
std::wstring OwnImagePath();

// True when this process runs under Wine (tests only: the product never asks).
bool RunningUnderWine();
