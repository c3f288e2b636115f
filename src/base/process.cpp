#include "base/process.h"

#include <cwchar>
#include <vector>

UniqueHandle OpenProcessWithImage(DWORD processId, DWORD access, const std::wstring& expected,
                                  std::wstring& imagePath) {
    imagePath.clear();
    UniqueHandle process(OpenProcess(access, FALSE, processId));
    if (!process) {
        return UniqueHandle();
    }
    std::vector<wchar_t> path(kImagePathUnits, L'\0');
    DWORD size = kImagePathUnits;
    if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) {
        return UniqueHandle();
    }
    imagePath.assign(path.data(), size);
    // No other normalisation: another way of naming the same file is another file here.
    if (_wcsicmp(imagePath.c_str(), expected.c_str()) != 0) {
        return UniqueHandle();
    }
    return process;
}

std::wstring OwnExecutablePath() {
    std::vector<wchar_t> buffer(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        return std::wstring();
    }
    return std::wstring(buffer.data(), length);
}

std::vector<BYTE> TokenUserOf(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        return {};
    }
    UniqueHandle ownedToken(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        return {};
    }
    return user;
}

bool RunsAsOurUser(HANDLE process) {
    std::vector<BYTE> theirs = TokenUserOf(process);
    std::vector<BYTE> ours = TokenUserOf(GetCurrentProcess());
    return !theirs.empty() && !ours.empty() &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(theirs.data())->User.Sid,
                    reinterpret_cast<TOKEN_USER*>(ours.data())->User.Sid);
}
