#include "core/command.h"

#include <cwctype>

bool IsQuotablePath(const std::wstring& path) {
    return path.find_first_of(std::wstring(L"\"\0", 2)) == std::wstring::npos;
}

bool IsFullPath(const std::wstring& path) {
    auto isSeparator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    bool drive = path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && isSeparator(path[2]);
    bool unc = path.size() >= 3 && isSeparator(path[0]) && isSeparator(path[1]);
    return drive || unc;
}

std::wstring BuildCoreCommandLine(const std::wstring& corePath, const std::wstring& configPath) {
    // Backslashes before a quote escape it in every argument after the program name, so trailing
    // ones are doubled. The program name itself is read up to the next quote without escapes.
    size_t trailing = 0;
    while (trailing < configPath.size() && configPath[configPath.size() - 1 - trailing] == L'\\') {
        ++trailing;
    }
    return L"\"" + corePath + L"\" run -c \"" + configPath + std::wstring(trailing, L'\\') + L"\"";
}

std::wstring CoreWorkingDirectory(const std::wstring& configPath) {
    size_t last = configPath.rfind(L'\\');
    if (last == std::wstring::npos) {
        return std::wstring();
    }
    std::wstring folder = configPath.substr(0, last);
    // "C:" alone names the drive's current directory, and an empty folder names nothing: both
    // mean the root here.
    if (folder.empty() || folder.back() == L':') {
        folder.push_back(L'\\');
    }
    return folder;
}
