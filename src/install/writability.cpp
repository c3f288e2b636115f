#include "app/win.h"

#include <aclapi.h>
#include "install/install.h"
#include "install/security.h"

namespace {

struct HardenedEntry {
    WELL_KNOWN_SID_TYPE trustee;
    DWORD permissions;
};

constexpr HardenedEntry kHardenedEntries[] = {
    {WinLocalSystemSid, GENERIC_ALL},
    {WinBuiltinAdministratorsSid, GENERIC_ALL},
    {WinBuiltinUsersSid, GENERIC_READ | GENERIC_EXECUTE},
};
constexpr ULONG kHardenedEntryCount = sizeof kHardenedEntries / sizeof kHardenedEntries[0];

}  // namespace

bool DaclGrantsUntrustedWrite(PACL dacl) {
    if (dacl == nullptr) {
        return true;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(dacl, index, &entry)) {
            continue;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kWriteAccessMask) != 0 &&
            !IsTrustedPrincipal(reinterpret_cast<PSID>(&allowed->SidStart))) {
            return true;
        }
    }
    return false;
}

bool PathGrantsUntrustedWrite(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr, &descriptor);
    UniqueLocal freeDescriptor(descriptor);
    if (result != ERROR_SUCCESS) {
        return true;
    }
    return DaclGrantsUntrustedWrite(dacl);
}

std::wstring DirectoryOfPath(const std::wstring& path) {
    size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? path : path.substr(0, separator);
}

DWORD BuildHardenedSecurity(HardenedSecurity& security) {
    DWORD ownerSize = sizeof security.owner;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, security.owner, &ownerSize)) {
        return GetLastError();
    }
    BYTE sids[kHardenedEntryCount][SECURITY_MAX_SID_SIZE];
    EXPLICIT_ACCESSW entries[kHardenedEntryCount] = {};
    for (ULONG i = 0; i < kHardenedEntryCount; ++i) {
        DWORD size = SECURITY_MAX_SID_SIZE;
        if (!CreateWellKnownSid(kHardenedEntries[i].trustee, nullptr, sids[i], &size)) {
            return GetLastError();
        }
        entries[i].grfAccessPermissions = kHardenedEntries[i].permissions;
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        entries[i].Trustee.pMultipleTrustee = nullptr;
        entries[i].Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        entries[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(sids[i]);
    }
    PACL dacl = nullptr;
    DWORD result = SetEntriesInAclW(kHardenedEntryCount, entries, nullptr, &dacl);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    security.dacl.reset(dacl);
    // Protected, so nothing is inherited from %ProgramData%, whose users may create entries.
    security.information = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                           PROTECTED_DACL_SECURITY_INFORMATION;
    return ERROR_SUCCESS;
}
