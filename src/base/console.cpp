#include "base/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include "base/text.h"
#include "base/win.h"

namespace {

void WriteStream(FILE* stream, DWORD stdHandle, const std::string& text) {
    // A real console shows UTF-8 bytes in its own code page, so it gets UTF-16 instead; pipes
    // and files get the UTF-8 bytes.
    HANDLE handle = GetStdHandle(stdHandle);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        fflush(stream);
        std::wstring wide = FromUtf8(text);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

}  // namespace

void PrintOut(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatTextV(format, args);
    va_end(args);
    WriteStream(stdout, STD_OUTPUT_HANDLE, text);
}

void PrintErr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatTextV(format, args);
    va_end(args);
    WriteStream(stderr, STD_ERROR_HANDLE, text);
}

const char* ElevationHint(unsigned long error) {
    return error == ERROR_ACCESS_DENIED
               ? "access denied: run this from an elevated prompt (Run as administrator)\n"
               : "";
}
