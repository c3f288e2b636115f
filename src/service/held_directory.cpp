#include "service/held_directory.h"

#include <aclapi.h>
#include <vector>
#include "base/data_directory.h"
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

// A kept directory whose DACL is not the service's gets it: one made in Explorer inherits the
// rights of ProgramData, where Users may add entries. Through a handle of its own, beside the
// one held.
DWORD GiveHardenedDacl(HANDLE held, const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(held, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  nullptr, nullptr, &descriptor);
    UniqueLocal freeDescriptor(descriptor);
    if (error != ERROR_SUCCESS || HasHardenedDacl(descriptor)) {
        return error;
    }
    HardenedSecurity security;
    error = BuildHardenedSecurity(security);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    UniqueHandle entry = OpenEntryItself(path, READ_CONTROL | WRITE_DAC,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!entry) {
        return GetLastError();
    }
    error = SetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, static_cast<PACL>(security.dacl.get()), nullptr);
    if (error == ERROR_SUCCESS) {
        WriteLog("data directory %ls had permissions of its own: given the service's",
                 path.c_str());
    }
    return error;
}

}  // namespace

DWORD HoldDataDirectory(UniqueHandle& held) {
    std::wstring path = GetDataDirectory();
    held = OpenIfOurs(path);
    if (held) {
        return GiveHardenedDacl(held.get(), path);
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
