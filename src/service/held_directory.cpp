#include "service/held_directory.h"

#include <vector>
#include "base/data_file.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/process.h"
#include "install/entries.h"
#include "install/harden.h"
#include "install/trust.h"

namespace {

constexpr DWORD kHoldAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY;

bool OwnedByUsOrTrusted(HANDLE directory) {
    std::vector<BYTE> owner = OwnerOf(directory);
    if (owner.empty()) {
        return false;
    }
    if (IsTrustedOwner(owner.data())) {
        return true;
    }
    std::vector<BYTE> self = TokenUserOf(GetCurrentProcess());
    return !self.empty() &&
           EqualSid(owner.data(), reinterpret_cast<TOKEN_USER*>(self.data())->User.Sid);
}

UniqueHandle OpenIfOurs(const std::wstring& path) {
    UniqueHandle directory = OpenEntryItself(path, kHoldAccess);
    if (directory && HandleIsRealDirectory(directory.get()) &&
        LeadsToItself(directory.get(), path) && OwnedByUsOrTrusted(directory.get())) {
        return directory;
    }
    return UniqueHandle();
}

}  // namespace

DWORD HoldDataDirectory(UniqueHandle& held) {
    std::wstring path = GetDataDirectory();
    held = OpenIfOurs(path);
    if (held) {
        return ERROR_SUCCESS;
    }
    bool existed = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    DWORD error = HardenDataDirectory();
    if (error != ERROR_SUCCESS) {
        return error;
    }
    held = OpenIfOurs(path);
    if (!held) {
        return ERROR_ACCESS_DENIED;
    }
    if (existed) {
        WriteLog("data directory %ls was not the service's own: made anew", path.c_str());
    }
    return ERROR_SUCCESS;
}
