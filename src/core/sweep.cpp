#include "core/core.h"

#include <tlhelp32.h>
#include <cwchar>
#include "app/handles.h"
#include "app/log.h"

namespace {

constexpr DWORD kStrayAccess = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
constexpr DWORD kImagePathUnits = 260;

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
        UniqueHandle process(OpenProcess(kStrayAccess, FALSE, entry.th32ProcessID));
        if (!process) {
            continue;
        }
        wchar_t imagePath[kImagePathUnits] = {};
        DWORD size = kImagePathUnits;
        if (!QueryFullProcessImageNameW(process.get(), 0, imagePath, &size)) {
            continue;
        }
        // Same file name in another folder is another program.
        if (_wcsicmp(imagePath, corePath.c_str()) != 0) {
            continue;
        }
        WriteLog("sweeping stray core pid=%lu", entry.th32ProcessID);
        if (!StopProcessGracefully(process.get(), entry.th32ProcessID, kGracefulStopMs)) {
            allGraceful = false;
        }
    }
    return allGraceful;
}
