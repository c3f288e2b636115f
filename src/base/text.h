#pragma once
#include <cstdarg>
#include <string>

// UTF-16 to UTF-8 and back with CP_UTF8; empty in, empty out.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// Lets the compiler check a printf-style format against its arguments: GCC and Clang by the
// attribute; MSVC by the annotation, under /analyze.
#if defined(__clang__)
// Clang has no gnu_printf; its printf checks the same conversions.
#define VELMORA_PRINTF(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#define VELMORA_FORMAT_STRING
#elif defined(__GNUC__)
#define VELMORA_PRINTF(formatIndex, firstArgument) \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#define VELMORA_FORMAT_STRING
#elif defined(_MSC_VER)
#include <sal.h>
#define VELMORA_PRINTF(formatIndex, firstArgument)
#define VELMORA_FORMAT_STRING _Printf_format_string_
#else
#define VELMORA_PRINTF(formatIndex, firstArgument)
#define VELMORA_FORMAT_STRING
#endif

// printf-style formatting where "%ls" arguments come out as UTF-8 instead of being cut at the
// first character outside the C locale.
std::string FormatTextV(const char* format, va_list args);
std::string FormatText(VELMORA_FORMAT_STRING const char* format, ...) VELMORA_PRINTF(1, 2);
