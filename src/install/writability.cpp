#include "app/win.h"

#include <aclapi.h>
#include <cwctype>
#include <vector>
#include "app/handles.h"
#include "app/process.h"
#include "install/security.h"

namespace {

// The allowed entries of a DACL, each with its flags, mask and SID; entries GetAce cannot fetch
// are skipped.
template <typename Visit>
bool AnyAllowedEntry(PACL dacl, Visit visit) {
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
        if (visit(header->AceFlags, allowed->Mask, reinterpret_cast<PSID>(&allowed->SidStart))) {
            return true;
        }
    }
    return false;
}

// Reads the owner and the DACL and applies both rules; a descriptor that cannot be read (missing,
// refused) fails.
template <typename Rule>
bool PathFails(const std::wstring& path, PSID installer, Rule rule) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
    UniqueLocal freeDescriptor(descriptor);
    return result != ERROR_SUCCESS || OwnerMayRepermission(owner, installer) || rule(dacl);
}

// Length of the root of a full path: "C:\", "\\server\share\", or their "\\?\" forms; 0 when
// there is none.
size_t RootLength(const std::wstring& path) {
    size_t start = 0;
    bool unc = false;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        start = 8;
        unc = true;
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        start = 4;
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        start = 2;
        unc = true;
    }
    if (!unc) {
        bool drive = path.size() >= start + 3 && iswalpha(path[start]) && path[start + 1] == L':' &&
                     path[start + 2] == L'\\';
        return drive ? start + 3 : 0;
    }
    size_t server = path.find(L'\\', start);
    if (server == std::wstring::npos || server == start) {
        return 0;
    }
    size_t share = path.find(L'\\', server + 1);
    if (share == server + 1) {
        return 0;
    }
    return share == std::wstring::npos ? 0 : share + 1;
}

}  // namespace

bool OwnerMayRepermission(PSID owner, PSID installer) {
    return !IsTrustedOwner(owner) &&
           (owner == nullptr || installer == nullptr || !EqualSid(owner, installer));
}

bool DaclGrantsUntrustedWrite(PACL dacl) {
    if (dacl == nullptr) {
        return true;
    }
    return AnyAllowedEntry(dacl, [](BYTE, ACCESS_MASK mask, PSID sid) {
        return (mask & kWriteAccessMask) != 0 && !IsTrustedPrincipal(sid);
    });
}

bool DaclLetsUntrustedReplace(PACL dacl, bool volumeRoot) {
    if (dacl == nullptr) {
        return true;
    }
    ACCESS_MASK counted = volumeRoot ? kReplaceAccessMask & ~DELETE : kReplaceAccessMask;
    return AnyAllowedEntry(dacl, [counted](BYTE flags, ACCESS_MASK mask, PSID sid) {
        return (flags & INHERIT_ONLY_ACE) == 0 && (mask & counted) != 0 && !IsTrustedPrincipal(sid);
    });
}

std::vector<std::wstring> AncestorsOf(const std::wstring& directory) {
    std::vector<std::wstring> ancestors;
    size_t root = RootLength(directory);
    if (root == 0) {
        return ancestors;
    }
    std::wstring path = directory;
    while (!path.empty() && path.back() == L'\\' && path.size() > root) {
        path.pop_back();
    }
    while (path.size() > root) {
        size_t separator = path.find_last_of(L'\\');
        path.resize(separator < root ? root : separator);
        ancestors.push_back(path);
    }
    return ancestors;
}

std::wstring DirectoryOfPath(const std::wstring& path) {
    size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? path : path.substr(0, separator);
}

std::wstring FindUntrustedWritablePlace(const std::wstring& executable) {
    std::vector<BYTE> user = TokenUserOf(GetCurrentProcess());
    PSID installer = user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    std::wstring directory = DirectoryOfPath(executable);
    if (PathFails(directory, installer, DaclGrantsUntrustedWrite)) {
        return directory;
    }
    if (directory != executable && PathFails(executable, installer, DaclGrantsUntrustedWrite)) {
        return executable;
    }
    // "C:" is what the directory of "C:\app.exe" reads as: the root itself, nothing above.
    if (RootLength(directory + L"\\") == directory.size() + 1) {
        return std::wstring();
    }
    // A folder without a recognisable root cannot be walked, so it cannot be trusted.
    if (RootLength(directory) == 0) {
        return directory;
    }
    std::vector<std::wstring> ancestors = AncestorsOf(directory);
    for (const std::wstring& ancestor : ancestors) {
        bool volumeRoot = ancestor.size() == RootLength(ancestor);
        if (PathFails(ancestor, installer, [volumeRoot](PACL dacl) {
                return DaclLetsUntrustedReplace(dacl, volumeRoot);
            })) {
            return ancestor;
        }
    }
    return std::wstring();
}
