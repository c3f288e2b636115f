#include "install/harden.h"

#include <aclapi.h>
#include "base/console.h"
#include "base/paths.h"
#include "install/entries.h"
#include "base/data_directory.h"

namespace {

// Someone may recreate the path between our clearing it and our creating it.
constexpr int kCreateAttempts = 3;

// Asked for only once the directory is kept: a user's DACL on a planted one may refuse these to
// administrators, who can still remove it.
constexpr DWORD kSecureAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER;

// Through a handle of its own, which shares deletion with the one that holds the directory.
DWORD ApplySecurity(const std::wstring& directory, HardenedSecurity& security) {
    UniqueHandle entry = OpenEntryItself(directory, kSecureAccess,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!entry) {
        return GetLastError();
    }
    return SetSecurityInfo(entry.get(), SE_FILE_OBJECT, security.information, security.owner,
                           nullptr, static_cast<PACL>(security.dacl.get()), nullptr);
}

// Takes away whatever stands at the path and is not a real directory of a trusted owner. Sets
// `kept` when the directory stays (it is secured then); ERROR_SUCCESS or the reason it could not
// be cleared.
DWORD SecureOrClear(const std::wstring& directory, HardenedSecurity& security, bool& kept) {
    kept = false;
    DWORD attributes = GetFileAttributesW(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS
                                                                              : error;
    }
    if (IsReparsePoint(attributes)) {
        PrintErr("data dir was pre-created by a non-admin user, recreating: %ls\n",
                 directory.c_str());
        return RemoveLinkItself(directory, attributes);
    }
    // Held without delete sharing from here on, so it cannot be swapped while it is judged.
    UniqueHandle entry = OpenEntryItself(directory, kRemovalAccess);
    if (!entry) {
        return GetLastError();
    }
    bool trusted = HandleIsRealDirectory(entry.get()) && !HasUntrustedOwner(directory);
    if (DecideEntryAction(attributes, 1, trusted) == EntryAction::kKeep) {
        DWORD error = ApplySecurity(directory, security);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        kept = true;
        // Secured now, so no one else can add or swap entries while each is judged.
        return ClearPlantedEntries(directory);
    }
    PrintErr("data dir was pre-created by a non-admin user, recreating: %ls\n", directory.c_str());
    // Nothing inside is touched: an empty folder goes, anything else moves as a whole.
    return ClearEntry(entry.get(), directory, false);
}

}  // namespace

DWORD HardenDataDirectory() {
    HardenedSecurity security;
    DWORD error = BuildHardenedSecurity(security);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::wstring directory = GetDataDirectory();
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        bool kept = false;
        error = SecureOrClear(directory, security, kept);
        if (error != ERROR_SUCCESS || kept) {
            return error;
        }
        // Owner and DACL come with the creation, so there is no moment when users may add
        // entries to the new directory.
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, &security.descriptor, FALSE};
        if (!CreateDirectoryW(directory.c_str(), &attributes)) {
            error = GetLastError();
            if (error == ERROR_ALREADY_EXISTS) {
                continue;
            }
            return error;
        }
        UniqueHandle created = OpenEntryItself(directory, READ_CONTROL | FILE_READ_ATTRIBUTES);
        if (!created) {
            return GetLastError();
        }
        return HandleIsRealDirectory(created.get()) ? ERROR_SUCCESS : ERROR_DIRECTORY;
    }
    return error;
}
