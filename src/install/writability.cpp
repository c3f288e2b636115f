#include "install/writability.h"

#include <aclapi.h>
#include <cwctype>
#include <vector>
#include "base/handles.h"
#include "base/process.h"
#include "base/data_file.h"
#include "install/entries.h"
#include "install/trust.h"

namespace {

// Types that only deny, audit or label. Any other type may grant access, including those whose
// layout is not read here, so those count by their mask with no SID looked at.
bool NeverGrants(BYTE type) {
    switch (type) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        case SYSTEM_AUDIT_ACE_TYPE:
        case SYSTEM_ALARM_ACE_TYPE:
        case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
        case SYSTEM_ALARM_OBJECT_ACE_TYPE:
        case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
        case SYSTEM_ALARM_CALLBACK_ACE_TYPE:
        case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
        case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE:
        case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
        case SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE:
        case SYSTEM_SCOPED_POLICY_ID_ACE_TYPE:
            return true;
        default:
            return false;
    }
}

// The entries of a DACL that may grant, each with its flags, mask and SID (null when its type is
// not read here); entries GetAce cannot fetch are skipped.
template <typename Visit>
bool AnyGrantingEntry(PACL dacl, Visit visit) {
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(dacl, index, &entry)) {
            continue;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if (NeverGrants(header->AceType)) {
            continue;
        }
        // Every granting layout puts the mask right after the header; one too short for it
        // grants everything as far as this check knows.
        ACCESS_MASK mask = GENERIC_ALL | kWriteAccessMask | kReplaceAccessMask;
        PSID sid = nullptr;
        if (header->AceSize >= sizeof(ACE_HEADER) + sizeof(ACCESS_MASK)) {
            mask = static_cast<const ACCESS_ALLOWED_ACE*>(entry)->Mask;
        }
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            sid = reinterpret_cast<PSID>(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart);
        }
        if (visit(header->AceFlags, mask, sid)) {
            return true;
        }
    }
    return false;
}

// A SID that is not read, or not trusted.
bool Untrusted(PSID sid) {
    return sid == nullptr || !IsTrustedPrincipal(sid);
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

// "C:", what the directory of "C:\app.exe" reads as.
bool IsDriveOnly(const std::wstring& directory) {
    return RootLength(directory + L"\\") == directory.size() + 1;
}

// Equal but for case and a trailing backslash.
bool SamePath(std::wstring a, std::wstring b) {
    while (!a.empty() && a.back() == L'\\') {
        a.pop_back();
    }
    while (!b.empty() && b.back() == L'\\') {
        b.pop_back();
    }
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// The directory, the file in it when one is given, then every folder above up to the volume
// root: the first that fails, or empty.
std::wstring FindUntrustedPlace(const std::wstring& directory, const std::wstring& file,
                                PSID installer) {
    if (PathFails(directory, installer, DaclGrantsUntrustedWrite)) {
        return directory;
    }
    if (!file.empty() && PathFails(file, installer, DaclGrantsUntrustedWrite)) {
        return file;
    }
    if (IsDriveOnly(directory)) {
        return std::wstring();
    }
    // A folder without a recognisable root cannot be walked, so it cannot be trusted.
    if (RootLength(directory) == 0) {
        return directory;
    }
    for (const std::wstring& ancestor : AncestorsOf(directory)) {
        bool volumeRoot = ancestor.size() == RootLength(ancestor);
        if (PathFails(ancestor, installer, [volumeRoot](PACL dacl) {
                return DaclLetsUntrustedReplace(dacl, volumeRoot);
            })) {
            return ancestor;
        }
    }
    return std::wstring();
}

// A link on the given path is followed anew at every start of the program, so whoever may
// rewrite, replace or re-permission the link itself could point it elsewhere later. Each link is
// judged by its own owner and DACL, with the rule of a program's folder; the first that fails.
std::wstring FindUntrustedLink(const std::wstring& executable, PSID installer) {
    std::vector<std::wstring> entries = AncestorsOf(executable);
    entries.insert(entries.begin(), executable);
    for (const std::wstring& entry : entries) {
        if (!IsReparsePoint(GetFileAttributesW(entry.c_str()))) {
            continue;
        }
        UniqueHandle link = OpenEntryItself(entry, READ_CONTROL,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD result = link
                           ? GetSecurityInfo(link.get(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                             &owner, nullptr, &dacl, nullptr, &descriptor)
                           : GetLastError();
        UniqueLocal freeDescriptor(descriptor);
        if (result != ERROR_SUCCESS || OwnerMayRepermission(owner, installer) ||
            DaclGrantsUntrustedWrite(dacl)) {
            return entry;
        }
    }
    return std::wstring();
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
    return AnyGrantingEntry(dacl, [](BYTE, ACCESS_MASK mask, PSID sid) {
        return (mask & kWriteAccessMask) != 0 && Untrusted(sid);
    });
}

bool DaclLetsUntrustedReplace(PACL dacl, bool volumeRoot) {
    if (dacl == nullptr) {
        return true;
    }
    ACCESS_MASK counted = volumeRoot ? kReplaceAccessMask & ~DELETE : kReplaceAccessMask;
    return AnyGrantingEntry(dacl, [counted](BYTE flags, ACCESS_MASK mask, PSID sid) {
        return (flags & INHERIT_ONLY_ACE) == 0 && (mask & counted) != 0 && Untrusted(sid);
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
    std::wstring place =
        FindUntrustedPlace(directory, directory != executable ? executable : L"", installer);
    if (!place.empty()) {
        return place;
    }
    place = FindUntrustedLink(executable, installer);
    if (!place.empty()) {
        return place;
    }
    // The system follows links and junctions when it starts the program, so the places it really
    // reaches must pass as well.
    std::wstring file = WhereItLeads(executable);
    if (file.empty()) {
        return executable;
    }
    if (!SamePath(file, executable)) {
        place = FindUntrustedPlace(DirectoryOfPath(file), file, installer);
        if (!place.empty()) {
            return place;
        }
    }
    // When the file is a link too, the folder may lead elsewhere than the file does, and whoever
    // may write there may swap that link.
    std::wstring folder = WhereItLeads(IsDriveOnly(directory) ? directory + L"\\" : directory);
    if (folder.empty()) {
        return directory;
    }
    if (!SamePath(folder, directory) && !SamePath(folder, DirectoryOfPath(file))) {
        return FindUntrustedPlace(folder, L"", installer);
    }
    return std::wstring();
}

std::wstring WhereItLeads(const std::wstring& path) {
    UniqueHandle entry(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring resolved = entry ? ResolvedPathOf(entry.get()) : std::wstring();
    if (resolved.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return L"\\\\" + resolved.substr(8);
    }
    if (resolved.compare(0, 4, L"\\\\?\\") == 0) {
        return resolved.substr(4);
    }
    return resolved;
}

std::wstring UnjudgedVolume(const std::wstring& resolved) {
    size_t root = RootLength(resolved);
    if (root == 0 || resolved.compare(0, 2, L"\\\\") == 0) {
        return root == 0 ? resolved : resolved.substr(0, root);
    }
    // A folder where another volume is mounted counts as that volume.
    wchar_t volume[MAX_PATH] = {};
    if (!GetVolumePathNameW(resolved.c_str(), volume, MAX_PATH)) {
        return resolved.substr(0, root);
    }
    return GetDriveTypeW(volume) == DRIVE_FIXED ? std::wstring() : std::wstring(volume);
}
