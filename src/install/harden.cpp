#include "app/win.h"

#include <aclapi.h>
#include "app/console.h"
#include "app/handles.h"
#include "app/paths.h"
#include "install/install.h"
#include "install/security.h"
#include "install/steps.h"

namespace {

bool IsRealDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !IsReparsePoint(attributes);
}

// Any user can create entries in %ProgramData%, so an entry there is reused only when it is a
// real directory of a trusted owner. An owner that cannot be read does not force recreation.
bool NeedsRecreation(const std::wstring& directory, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    // A link is judged by itself: its target's owner says nothing about who made the link.
    if (IsReparsePoint(attributes)) {
        return true;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result =
        GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor);
    UniqueLocal freeDescriptor(descriptor);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    return owner == nullptr || !IsTrustedPrincipal(owner);
}

bool ApplyHardenedSecurity(const std::wstring& directory) {
    HardenedSecurity security;
    if (BuildHardenedSecurity(security) != ERROR_SUCCESS) {
        return false;
    }
    // Applied through a handle on the entry itself, checked once more, so a link swapped in
    // after the check above is neither followed nor secured in place of the directory.
    UniqueHandle handle(
        CreateFileW(directory.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
        return false;
    }
    FILE_BASIC_INFO info = {};
    if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &info, sizeof info) ||
        !IsRealDirectory(info.FileAttributes)) {
        return false;
    }
    return SetSecurityInfo(handle.get(), SE_FILE_OBJECT, security.information, security.owner,
                           nullptr, static_cast<PACL>(security.dacl.get()),
                           nullptr) == ERROR_SUCCESS;
}

}  // namespace

bool HardenDataDirectory() {
    std::wstring directory = GetDataDirectory();
    DWORD attributes = GetFileAttributesW(directory.c_str());
    if (NeedsRecreation(directory, attributes)) {
        PrintErr("data dir was pre-created by a non-admin user, recreating: %ls\n",
                 directory.c_str());
        if (IsRealDirectory(attributes)) {
            DeleteDataFiles();
            RemoveDirectoryW(directory.c_str());
        } else {
            // Nothing is deleted through a link; only the link itself goes.
            RemoveLinkItself(directory, attributes);
        }
    }
    CreateDirectoryW(directory.c_str(), nullptr);
    if (!IsRealDirectory(GetFileAttributesW(directory.c_str()))) {
        return false;
    }
    return ApplyHardenedSecurity(directory);
}
