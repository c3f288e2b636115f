#include "base/data_directory.h"

#include <aclapi.h>
#include <map>
#include <utility>
#include <vector>
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

// What an ACL grants, by SID and by where it applies: the directory itself (kOnItself), or what is
// created inside (its inheritance flags), with generic rights mapped to file rights. Empty when
// the ACL holds any entry but a plain explicit allow.
constexpr DWORD kOnItself = 0x100;
using Grants = std::map<std::pair<std::vector<BYTE>, DWORD>, ACCESS_MASK>;
Grants GrantsOf(PACL dacl) {
    Grants grants;
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (!GetAce(dacl, index, reinterpret_cast<void**>(&entry)) ||
            entry->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (entry->Header.AceFlags & INHERITED_ACE) != 0) {
            return Grants();
        }
        PSID sid = &entry->SidStart;
        std::vector<BYTE> key(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
        ACCESS_MASK mask = entry->Mask;
        MapGenericMask(&mask, &mapping);
        BYTE flags = entry->Header.AceFlags;
        if ((flags & INHERIT_ONLY_ACE) == 0) {
            grants[{key, kOnItself}] |= mask;
        }
        DWORD inherited =
            flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE);
        if ((inherited & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) != 0) {
            grants[{key, inherited}] |= mask;
        }
    }
    return grants;
}

}  // namespace

bool HasHardenedDacl(PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    HardenedSecurity hardened;
    if (descriptor == nullptr || !GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        (control & SE_DACL_PROTECTED) == 0 ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || dacl == nullptr ||
        BuildHardenedSecurity(hardened) != ERROR_SUCCESS) {
        return false;
    }
    Grants grants = GrantsOf(dacl);
    return !grants.empty() && grants == GrantsOf(static_cast<PACL>(hardened.dacl.get()));
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
