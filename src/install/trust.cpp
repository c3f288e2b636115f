#include "install/trust.h"

#include <aclapi.h>
#include <sddl.h>
#include "base/handles.h"

namespace {

// TrustedInstaller is a service SID with no well-known SID type, so it is matched by its text.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

constexpr WELL_KNOWN_SID_TYPE kTrustedWellKnown[] = {
    WinLocalSystemSid,
    WinBuiltinAdministratorsSid,
    WinCreatorOwnerSid,
    WinLocalServiceSid,
};

constexpr WELL_KNOWN_SID_TYPE kTrustedOwnerWellKnown[] = {
    WinLocalSystemSid,
    WinBuiltinAdministratorsSid,
};

template <size_t Count>
bool IsAnyOf(PSID sid, const WELL_KNOWN_SID_TYPE (&types)[Count]) {
    for (WELL_KNOWN_SID_TYPE type : types) {
        BYTE known[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof known;
        if (CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(known, sid)) {
            return true;
        }
    }
    return false;
}

bool IsTrustedInstaller(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return false;
    }
    UniqueLocal freeText(text);
    return _wcsicmp(text, kTrustedInstallerSid) == 0;
}

}  // namespace

bool IsTrustedPrincipal(PSID sid) {
    return IsAnyOf(sid, kTrustedWellKnown) || IsTrustedInstaller(sid);
}

bool IsTrustedOwner(PSID owner) {
    return owner != nullptr &&
           (IsAnyOf(owner, kTrustedOwnerWellKnown) || IsTrustedInstaller(owner));
}

std::vector<BYTE> OwnerOf(HANDLE entry) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                   nullptr, nullptr, nullptr, &descriptor);
    UniqueLocal freeDescriptor(descriptor);
    if (result != ERROR_SUCCESS || owner == nullptr || !IsValidSid(owner)) {
        return std::vector<BYTE>();
    }
    auto* bytes = static_cast<BYTE*>(owner);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(owner));
}
