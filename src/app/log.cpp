#include "app/log.h"

#include <cstdarg>
#include <cstdio>
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
    if (size >= kLogRotateBytes) {
        MoveFileExW(path.c_str(), GetRotatedServiceLogPath().c_str(), MOVEFILE_REPLACE_EXISTING);
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
    UniqueFile file;
    if (_wfopen_s(file.put(), path.c_str(), L"a") != 0 || !file) {
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
