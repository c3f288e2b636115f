#include "install/entries.h"

#include <cwchar>
#include <vector>
#include "base/console.h"
#include "base/data_file.h"
#include "base/paths.h"
#include "config/endpoint_file.h"
#include "install/trust.h"

namespace {

bool DeleteByHandle(HANDLE entry) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(entry, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}

// A counted name could be taken ahead by any user, so the name has a random part; an existing
// name is never replaced.
DWORD MoveAside(HANDLE entry, const std::wstring& path) {
    std::string random;
    if (!GenerateAccessToken(random)) {
        return ERROR_GEN_FAILURE;
    }
    std::wstring target = path + L".untrusted-" + std::wstring(random.begin(), random.end());
    if (!MoveOpenFile(entry, target, false)) {
        return GetLastError();
    }
    PrintErr("moved aside, contents kept for inspection: %ls\n", target.c_str());
    return ERROR_SUCCESS;
}

bool HasUntrustedOwner(HANDLE entry) {
    std::vector<BYTE> owner = OwnerOf(entry);
    return owner.empty() || !IsTrustedOwner(owner.data());
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

EntryAction DecideEntryAction(DWORD attributes, DWORD links, bool trustedOwner) {
    // A link is judged by itself: its target's owner says nothing about who made the link.
    if (IsReparsePoint(attributes) || (links > 1 && !IsRealDirectory(attributes))) {
        return EntryAction::kRemoveLink;
    }
    return trustedOwner ? EntryAction::kKeep : EntryAction::kClear;
}

UniqueHandle OpenEntryItself(const std::wstring& path, DWORD access, DWORD share) {
    return UniqueHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
}

bool HandleIsRealDirectory(HANDLE entry) {
    FILE_BASIC_INFO info = {};
    return GetFileInformationByHandleEx(entry, FileBasicInfo, &info, sizeof info) &&
           IsRealDirectory(info.FileAttributes);
}

bool HasUntrustedOwner(const std::wstring& path) {
    // Apart from the removal handle: an entry's DACL may refuse reading its owner to anyone but
    // its owner, while removal still works through the folder's rights.
    UniqueHandle entry = OpenEntryItself(path, READ_CONTROL, kShareAll);
    return !entry || HasUntrustedOwner(entry.get());
}

DWORD RemoveLinkItself(const std::wstring& path, DWORD attributes) {
    // Both remove a junction or symbolic link, not its target, and never recurse into it. There
    // is no second way: where a link cannot be removed, renaming it may move its target.
    bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(path.c_str())
                                                                : DeleteFileW(path.c_str());
    return removed ? ERROR_SUCCESS : GetLastError();
}

DWORD ClearEntry(HANDLE entry, const std::wstring& path, bool deleteFiles) {
    // A file may refuse deletion (read-only) where a move still works.
    if ((deleteFiles || HandleIsRealDirectory(entry)) && DeleteByHandle(entry)) {
        return ERROR_SUCCESS;
    }
    return MoveAside(entry, path);
}

DWORD ClearPlantedEntries(const std::wstring& directory) {
    // Listed whole first, so that nothing moved aside comes up again under its new name.
    std::vector<WIN32_FIND_DATAW> entries;
    WIN32_FIND_DATAW found = {};
    UniqueFind search(FindFirstFileW((directory + L"\\*").c_str(), &found));
    if (!search) {
        return GetLastError();
    }
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
            entries.push_back(found);
        }
    } while (FindNextFileW(search.get(), &found));
    DWORD error = GetLastError();
    search.reset();
    if (error != ERROR_NO_MORE_FILES) {
        return error;
    }
    for (const WIN32_FIND_DATAW& listed : entries) {
        std::wstring path = directory + L"\\" + listed.cFileName;
        if (IsReparsePoint(listed.dwFileAttributes)) {
            error = RemoveLinkItself(path, listed.dwFileAttributes);
        } else {
            // Looked at with sharing for all first: whoever holds one of the service's own files
            // must not be disturbed, and only an entry that must go is opened for removal.
            UniqueHandle look = OpenEntryItself(path, FILE_READ_ATTRIBUTES, kShareAll);
            BY_HANDLE_FILE_INFORMATION facts = {};
            if (!look || !GetFileInformationByHandle(look.get(), &facts)) {
                return GetLastError();
            }
            look.reset();
            if (DecideEntryAction(facts.dwFileAttributes, facts.nNumberOfLinks,
                                  !HasUntrustedOwner(path)) == EntryAction::kKeep) {
                continue;
            }
            // Another name of a file goes through the handle, which removes only that name.
            UniqueHandle entry = OpenEntryItself(path, kRemovalAccess);
            error = entry ? ClearEntry(entry.get(), path, true) : GetLastError();
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

void DeleteDataFiles(HANDLE directory) {
    std::wstring folder = ResolvedPathOf(directory);
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
            _wcsicmp(ResolvedPathOf(file.get()).c_str(), (folder + L"\\" + name).c_str()) == 0) {
            DeleteByHandle(file.get());
        }
    }
}
