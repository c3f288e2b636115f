#include "app/win.h"

#include <sddl.h>
#include "app/handles.h"
#include "install/install.h"

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

}  // namespace

bool IsTrustedPrincipal(PSID sid) {
    for (WELL_KNOWN_SID_TYPE type : kTrustedWellKnown) {
        BYTE known[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof known;
        if (CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(known, sid)) {
            return true;
        }
    }
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return false;
    }
    UniqueLocal freeText(text);
    return _wcsicmp(text, kTrustedInstallerSid) == 0;
}
