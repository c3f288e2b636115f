#include "core/sweep.h"

#include <cwchar>
#include "base/handles.h"
#include "base/log.h"
#include "base/process.h"
#include "core/process_stop.h"
// After windows.h, which it needs.
#include <tlhelp32.h>

namespace {

constexpr DWORD kStrayAccess = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;

}  // namespace

bool SweepStrayCores(const std::wstring& corePath) {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return true;
    }
    const wchar_t* lastSeparator = wcsrchr(corePath.c_str(), L'\\');
    const wchar_t* exeName = lastSeparator != nullptr ? lastSeparator + 1 : corePath.c_str();

    bool allGraceful = true;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) != 0) {
            continue;
        }
        // Same file name in another folder is another program.
        std::wstring imagePath;
        UniqueHandle process =
            OpenProcessWithImage(entry.th32ProcessID, kStrayAccess, corePath, imagePath);
        // Strays are what an earlier service left, so they run as the service does. Another
        // user's copy is not ours to stop, and a break to it could reach the rest of its console.
        if (!process || !RunsAsOurUser(process.get())) {
            continue;
        }
        WriteLog("sweeping stray core pid=%lu", entry.th32ProcessID);
        if (!StopProcessGracefully(process.get(), entry.th32ProcessID, kGracefulStopMs)) {
            allGraceful = false;
        }
    }
    return allGraceful;
}
