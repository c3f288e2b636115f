#pragma once
#include <cstdarg>
#include <string>

// UTF-16 to UTF-8 and back with CP_UTF8; empty in, empty out.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// printf-style formatting where "%ls" arguments come out as UTF-8 instead of being cut at the
// first character outside the C locale.
std::string FormatTextV(const char* format, va_list args);
std::string FormatText(const char* format, ...);
