#include "app/log.h"

#include <cstdarg>
#include <cstdio>
#include <share.h>
#include "app/console.h"
#include "app/handles.h"
#include "app/paths.h"
#include "app/state.h"
#include "app/text.h"

namespace {

void RotateIfFull(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return;
    }
    uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size < kLogRotateBytes ||
        MoveFileExW(path.c_str(), GetRotatedServiceLogPath().c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return;
    }
    // Every user may read the log, so anyone can hold either file open and block the move; the
    // log must still stay under its cap. What cannot be kept as .1 is lost.
    CopyFileW(path.c_str(), GetRotatedServiceLogPath().c_str(), FALSE);
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        SetEndOfFile(file.get());
    }
}

}  // namespace

std::string FormatLogPrefix(int year, int month, int day, int hour, int minute, int second) {
    char prefix[64];
    snprintf(prefix, sizeof prefix, "[%04d-%02d-%02d %02d:%02d:%02d] ", year, month, day, hour,
             minute, second);
    return prefix;
}

void WriteLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FormatTextV(format, args);
    va_end(args);

    std::wstring path = GetServiceLogPath();
    RotateIfFull(path);
    // Shared like any log, so a reader holding it open does not lose the line (the secure
    // variant of fopen shares nothing for writing).
    UniqueFile file(_wfsopen(path.c_str(), L"a", _SH_DENYNO));
    if (!file) {
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string line =
        FormatLogPrefix(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond) +
        message + "\n";
    fwrite(line.data(), 1, line.size(), file.get());
    file.reset();

    if (ServiceState.consoleMode) {
        PrintOut("%s\n", message.c_str());
    }
}
