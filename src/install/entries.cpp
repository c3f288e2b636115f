#include "install/entries.h"

#include <aclapi.h>
#include <cwchar>
#include <vector>
#include "app/paths.h"
#include "install/security.h"

namespace {

constexpr int kAsideNames = 100;

bool DeleteByHandle(HANDLE entry) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(entry, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}

// The path the system resolves the handle to, with links followed; empty when unknown.
std::wstring FinalPathOf(HANDLE entry) {
    std::vector<wchar_t> path(32768, L'\0');
    DWORD length = GetFinalPathNameByHandleW(entry, path.data(), static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length == 0 || length >= path.size() ? std::wstring()
                                                : std::wstring(path.data(), length);
}

bool RenameByHandle(HANDLE entry, const std::wstring& target) {
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    target.copy(rename->FileName, target.size());
    rename->FileName[target.size()] = L'\0';
    return SetFileInformationByHandle(entry, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != FALSE;
}

// Any user may have taken the first names already; only a free one is used, never replaced.
DWORD MoveAside(HANDLE entry, const std::wstring& path, std::wstring& movedTo) {
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int n = 1; n <= kAsideNames; ++n) {
        std::wstring target = path + L".untrusted-" + std::to_wstring(n);
        if (RenameByHandle(entry, target)) {
            movedTo = target;
            return ERROR_SUCCESS;
        }
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            return error;
        }
    }
    return error;
}

}  // namespace

bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsRealDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !IsReparsePoint(attributes);
}

EntryAction DecideEntryAction(DWORD attributes, bool trustedOwner) {
    // A link is judged by itself: its target's owner says nothing about who made the link.
    if (IsReparsePoint(attributes)) {
        return EntryAction::kRemoveLink;
    }
    return trustedOwner ? EntryAction::kKeep : EntryAction::kClear;
}

UniqueHandle OpenEntryItself(const std::wstring& path, DWORD access) {
    return UniqueHandle(CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool HandleIsRealDirectory(HANDLE entry) {
    FILE_BASIC_INFO info = {};
    return GetFileInformationByHandleEx(entry, FileBasicInfo, &info, sizeof info) &&
           IsRealDirectory(info.FileAttributes);
}

bool HasUntrustedOwner(HANDLE entry) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                   nullptr, nullptr, nullptr, &descriptor);
    UniqueLocal freeDescriptor(descriptor);
    return result != ERROR_SUCCESS || owner == nullptr || !IsTrustedPrincipal(owner);
}

DWORD RemoveLinkItself(const std::wstring& path, DWORD attributes) {
    // Both remove a junction or symbolic link, not its target, and never recurse into it. There
    // is no second way: where a link cannot be removed, renaming it may move its target.
    bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(path.c_str())
                                                                : DeleteFileW(path.c_str());
    return removed ? ERROR_SUCCESS : GetLastError();
}

DWORD ClearEntry(HANDLE entry, const std::wstring& path, bool deleteFiles, std::wstring& movedTo) {
    if (deleteFiles || HandleIsRealDirectory(entry)) {
        if (DeleteByHandle(entry)) {
            return ERROR_SUCCESS;
        }
        DWORD error = GetLastError();
        if (error != ERROR_DIR_NOT_EMPTY) {
            return error;
        }
    }
    return MoveAside(entry, path, movedTo);
}

void DeleteDataFiles(HANDLE directory) {
    std::wstring folder = FinalPathOf(directory);
    if (folder.empty()) {
        return;
    }
    std::wstring path = GetDataDirectory();
    for (const wchar_t* name : kDataFileNames) {
        UniqueHandle file = OpenEntryItself(path + L"\\" + name, DELETE | FILE_READ_ATTRIBUTES);
        FILE_BASIC_INFO info = {};
        // The folder may have become a link since it was checked: only a file (or a link itself,
        // opened as such) that really sits in it goes.
        if (file && GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info) &&
            (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            _wcsicmp(FinalPathOf(file.get()).c_str(), (folder + L"\\" + name).c_str()) == 0) {
            DeleteByHandle(file.get());
        }
    }
}
