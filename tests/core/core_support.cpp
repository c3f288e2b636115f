#include "core_support.h"

#include <algorithm>
#include <atomic>
#include "app/paths.h"
#include "app/state.h"
#include "core/core.h"

namespace {

// Wine hands out small process ids again soon, so a process id alone would meet the folders
// and data directory of an earlier test process.
std::wstring UniqueStem() {
    static const std::wstring stem =
        std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    return stem;
}

}  // namespace

std::wstring MakeTempFolder(const std::wstring& prefix) {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder =
        std::wstring(temp) + prefix + L"-" + UniqueStem() + L"-" + std::to_wstring(++counter);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::wstring CopyStandin(const std::wstring& folderPrefix) {
    std::wstring path = MakeTempFolder(folderPrefix) + L"\\standin-core.exe";
    CopyFileW(ProgramPath(L"standin-core.exe").c_str(), path.c_str(), FALSE);
    return path;
}

std::wstring WriteConfig(const std::wstring& folder, const std::wstring& name,
                         const std::string& content) {
    std::wstring path = folder + L"\\" + name;
    WriteFileBytes(path, content);
    return path;
}

bool StartStandin(const std::wstring& exe, const std::wstring& arguments, ChildProcess& child) {
    child.stderrPath = MakeTempFolder(L"velmora-standin-out") + L"\\stderr.txt";
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    UniqueHandle err(CreateFileW(child.stderrPath.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = err.get();
    startup.hStdError = err.get();
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                        CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    child.process.reset(info.hProcess);
    child.pid = info.dwProcessId;
    // Started means its start line is out, so it has its break handler in place.
    return WaitUntil([&] { return child.Stderr().find("started") != std::string::npos; }, 10000);
}

DWORD NumberAfter(const std::string& text, const std::string& key) {
    size_t at = text.find(key);
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<DWORD>(strtoul(text.c_str() + at + key.size(), nullptr, 10));
}

DWORD ExitCodeAfter(HANDLE process, DWORD timeoutMs) {
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

std::string ServiceLogText() {
    // The log is written in text mode: CR LF line ends on this platform.
    std::string text = ReadFileBytes(GetServiceLogPath());
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}
std::string CoreStderrText() {
    return ReadFileBytes(GetCoreStderrLogPath());
}

void CoreFixture::SetUp() {
    serviceName_ = UniqueServiceName(L"velmora-core-" + UniqueStem());
    ServiceState.serviceName = serviceName_;
    CreateDirectoryW(GetDataDirectory().c_str(), nullptr);
    corePath_ = CopyStandin();
    ASSERT_TRUE(FileExists(corePath_));
    ASSERT_TRUE(SetParameter(serviceName_, L"CoreBinary", corePath_));
    folder_ = MakeTempFolder(L"velmora-config");
}

void CoreFixture::TearDown() {
    {
        ScopedLock lock(ServiceState.coreLock);
        StopCore();
    }
    DeleteParameters(serviceName_);
}
