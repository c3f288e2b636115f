#pragma once
// What the tests share. Expectations come from test code of its own, never from the product's
// functions, and no test reaches into a running velmora.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include "base/handles.h"

// The folder of the test program, and a program built next to it.
std::wstring TestDirectory();
std::wstring ProgramPath(const std::wstring& exeName);

// A copy of the stand-in core in a folder of that name under %TEMP%: the sweep ends every process
// of the core's image, so tests never share one. Empty when it could not be copied.
std::wstring PrivateStandin(const std::wstring& folderName);

// The stand-in core started as velmora starts one, `run -c "<config>"`, inheriting no handle.
struct StartedCore {
    UniqueHandle process;
    UniqueHandle thread;
    DWORD pid = 0;
};
StartedCore StartStandin(const std::wstring& exe, const std::wstring& config, DWORD flags);

// A service name no other test (or earlier run) uses: prefix, process id and a counter.
std::wstring UniqueServiceName(const std::wstring& prefix);

// %ProgramData%\<name> here, and under the service control manager (Wine 8: its Public folder).
std::wstring DataDirectoryOf(const std::wstring& serviceName);
std::wstring ServiceDataDirectoryOf(const std::wstring& serviceName);

// The first port of a name's range: FNV-1a over its UTF-16 units, folded into 17800..18199.
int ExpectedBasePort(const std::wstring& serviceName);

// Points ProgramData, inherited by started programs, at a folder (fresh by default) while it lives.
struct ScopedProgramData {
    explicit ScopedProgramData(const std::wstring& existing = L"");
    ~ScopedProgramData();
    std::wstring root;

private:
    std::wstring saved_;
    bool hadValue_ = false;
    bool owned_ = false;
};

// Sorted, without "." and "..".
std::vector<std::wstring> EntriesOf(const std::wstring& dir);

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// True when the condition held before the time was up.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD stepMs = 50);

// A started program with its standard output and error in files; ended when it goes out of scope.
struct ChildProcess {
    ~ChildProcess() { Kill(); }
    UniqueHandle process;
    DWORD pid = 0;
    std::wstring stdoutPath;
    std::wstring stderrPath;

    DWORD Wait(DWORD timeoutMs);  // STILL_ACTIVE while it runs
    void Kill();
    std::string Stdout() const { return ReadFileBytes(stdoutPath); }
    std::string Stderr() const { return ReadFileBytes(stderrPath); }
};

// Starts `"<exe>" <arguments>` with output captured; false when it could not start.
bool StartProgram(const std::wstring& exe, const std::wstring& arguments, ChildProcess& child);

// The exit code of a run to its end (killed after timeoutMs).
DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments, std::string* out = nullptr,
                 std::string* err = nullptr, DWORD timeoutMs = 60000);

// velmora.exe console --name <name>, once it has published service.conf and listens.
struct ConsoleService {
    std::wstring name;
    ChildProcess child;
    int port = 0;
    std::string token;

    bool Start(const std::wstring& serviceName, DWORD timeoutMs = 20000);
    // Hard stop: there is no Ctrl+C from inside Wine; the job ends any core with it.
    void Kill() { child.Kill(); }
    std::string Log() const;
    // The service writes its log in the background: waits for the text to arrive.
    bool LogShows(const std::string& text, DWORD timeoutMs = 10000) const;
};

struct HttpResult {
    int status = 0;  // 0 when no status line came back (the connection was closed silently)
    std::string raw;
    std::string body;
};

// Not inherited; port 0 is any free one; option, when not 0, is set TRUE; invalid on failure.
UniqueSocket ListenOn(const char* address, int port, int option = 0);
// From the address `from` when given; invalid when it could not connect.
UniqueSocket ConnectLoopback(int port, const char* address = "127.0.0.1",
                             const char* from = nullptr);
// Everything the peer sends until it closes (or a receive waits longer than timeoutMs).
std::string ReceiveAll(SOCKET connection, DWORD timeoutMs = 15000);

// The bytes as they are, or a well-formed request, to 127.0.0.1:port, read until the server closes.
HttpResult SendRaw(int port, const std::string& request, DWORD receiveTimeoutMs = 15000);
HttpResult SendRequest(int port, const std::string& method, const std::string& path,
                       const std::string& token = "", const std::string& body = "");

// Registry values of the service's Parameters key (HKLM), for tests that stand in for install.
bool SetParameter(const std::wstring& serviceName, const std::wstring& valueName,
                  const std::wstring& value);
void DeleteParameters(const std::wstring& serviceName);

// Ids of running processes whose image is exactly this path (case-insensitive).
std::vector<DWORD> ProcessesRunning(const std::wstring& imagePath);
// Ends them all, so that no test leaves a process of its own copy behind.
void EndProcessesOf(const std::wstring& imagePath);

// Under Wine the Win32 queries answer only for the calling process, so the Linux process whose
// command line holds `marker` is read through Z:\proc: open descriptors, resident set, CPU time.
struct ProcessUsage {
    bool measured = false;
    unsigned long long handles = 0;
    unsigned long long memoryBytes = 0;
    double cpuMs = 0;
};
ProcessUsage MeasureProcess(HANDLE process, const std::wstring& marker);

// The text with every placeholder replaced, for table rows that name values known only later.
std::string Filled(std::string text, const std::string& placeholder, const std::string& value);

// Text written through a text-mode stream (the console, the log) with its CR LF back to LF.
std::string WithoutCr(std::string text);

// This test program's image path, as the service sees a caller's (for GuiBinary).
std::wstring OwnImagePath();

// Tests only: the product never asks.
bool RunningUnderWine();

// The tests' own parser: each scalar under its path ("lastExit.code"), strings unescaped, others
// as written ("null", "7"), an object as "{}"; false for anything but one well-formed object.
bool ParseJsonObject(const std::string& text, std::map<std::string, std::string>& fields);
