#include "base/text.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include "base/win.h"

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return std::string();
    }
    std::string result(static_cast<size_t>(length), '\0');
    int written = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      &result[0], length, nullptr, nullptr);
    result.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return result;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring result(static_cast<size_t>(length), L'\0');
    int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      &result[0], length);
    result.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return result;
}

namespace {

// Formats one conversion with the C runtime; the directive holds flags, width and precision.
template <typename T>
void AppendOne(std::string& out, const std::string& directive, T value) {
    char buffer[128];
    int n = snprintf(buffer, sizeof buffer, directive.c_str(), value);
    if (n < 0) {
        return;
    }
    if (static_cast<size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    snprintf(&big[0], big.size(), directive.c_str(), value);
    out.append(big.data(), static_cast<size_t>(n));
}

}  // namespace

namespace {

// Skips the flags, width, precision and length of a directive whose '%' is behind `p`; returns
// its conversion character (0 at the end of the format) with `p` after it.
char ScanDirective(const char*& p, std::string& length) {
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
        ++p;
    }
    while (*p >= '0' && *p <= '9') {
        ++p;
    }
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
    }
    while (*p != '\0' && std::strchr("hlzjt", *p) != nullptr) {
        length.push_back(*p++);
    }
    return *p == '\0' ? '\0' : *p++;
}

// Formats one argument; false for a conversion it does not know, whose argument stays unread.
bool AppendArgument(std::string& out, const std::string& directive, char conversion,
                    const std::string& length, va_list& args) {
    switch (conversion) {
        case 'd':
        case 'i':
            if (length == "l") {
                AppendOne(out, directive, va_arg(args, long));
            } else if (length == "ll") {
                AppendOne(out, directive, va_arg(args, long long));
            } else if (length == "z") {
                AppendOne(out, directive, va_arg(args, size_t));
            } else {
                AppendOne(out, directive, va_arg(args, int));
            }
            return true;
        case 'u':
        case 'x':
        case 'X':
            if (length == "l") {
                AppendOne(out, directive, va_arg(args, unsigned long));
            } else if (length == "ll") {
                AppendOne(out, directive, va_arg(args, unsigned long long));
            } else if (length == "z") {
                AppendOne(out, directive, va_arg(args, size_t));
            } else {
                AppendOne(out, directive, va_arg(args, unsigned int));
            }
            return true;
        case 'c':
            out.push_back(static_cast<char>(va_arg(args, int)));
            return true;
        case 'p':
            AppendOne(out, directive, va_arg(args, void*));
            return true;
        case 's':
            if (length == "l") {
                const wchar_t* wide = va_arg(args, const wchar_t*);
                out += ToUtf8(wide != nullptr ? std::wstring(wide) : std::wstring(L"(null)"));
            } else {
                const char* narrow = va_arg(args, const char*);
                out += narrow != nullptr ? narrow : "(null)";
            }
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string FormatTextV(const char* format, va_list args) {
    std::string out;
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        std::string length;
        char conversion = ScanDirective(p, length);
        if (conversion == '\0') {
            break;
        }
        std::string directive(start, p);
        if (!AppendArgument(out, directive, conversion, length, args)) {
            // The arguments after an unread one could no longer be matched to their
            // directives: the rest of the format is copied as it is.
            out.append(directive);
            out.append(p);
            return out;
        }
    }
    return out;
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatTextV(format, args);
    va_end(args);
    return text;
}
