#include "base/data_directory.h"

#include <aclapi.h>
#include "base/paths.h"

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
    if (!InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&security.descriptor, security.owner, FALSE) ||
        !SetSecurityDescriptorDacl(&security.descriptor, TRUE, dacl, FALSE) ||
        !SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

void CreateDataDirectory() {
    HardenedSecurity security;
    if (BuildHardenedSecurity(security) == ERROR_SUCCESS) {
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, &security.descriptor, FALSE};
        CreateDirectoryW(GetDataDirectory().c_str(), &attributes);
    }
}
