#pragma once
// SIDs and ACLs built in memory for the trust and writability decisions.
#include <string>
#include <vector>
#include "app/win.h"

#include <sddl.h>
#include "app/handles.h"

constexpr wchar_t kLocalSystem[] = L"S-1-5-18";
constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";
constexpr wchar_t kCreatorOwner[] = L"S-1-3-0";
constexpr wchar_t kLocalService[] = L"S-1-5-19";
constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr wchar_t kUsers[] = L"S-1-5-32-545";
constexpr wchar_t kAuthenticatedUsers[] = L"S-1-5-11";
constexpr wchar_t kEveryone[] = L"S-1-1-0";

// Owns a SID parsed from its string form.
class Sid {
public:
    explicit Sid(const wchar_t* text) {
        PSID sid = nullptr;
        if (ConvertStringSidToSidW(text, &sid)) {
            owner_.reset(sid);
        }
    }
    PSID get() const { return static_cast<PSID>(owner_.get()); }

private:
    UniqueLocal owner_;
};

// An ACL filled entry by entry, in the order of the calls.
class AclBuilder {
public:
    AclBuilder() : buffer_(4096 / sizeof(DWORD)) {
        InitializeAcl(get(), static_cast<DWORD>(buffer_.size() * sizeof(DWORD)), ACL_REVISION);
    }
    AclBuilder& Allow(const wchar_t* sid, DWORD mask, DWORD flags = 0) {
        AddAccessAllowedAceEx(get(), ACL_REVISION, flags, mask, Sid(sid).get());
        return *this;
    }
    AclBuilder& Deny(const wchar_t* sid, DWORD mask, DWORD flags = 0) {
        AddAccessDeniedAceEx(get(), ACL_REVISION, flags, mask, Sid(sid).get());
        return *this;
    }
    // Full control for the four trusted principals, read and execute for Users.
    AclBuilder& ProgramFilesLike() {
        for (const wchar_t* sid :
             {kLocalSystem, kAdministrators, kCreatorOwner, kTrustedInstaller}) {
            Allow(sid, FILE_ALL_ACCESS);
        }
        return Allow(kUsers, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
    }
    PACL get() { return reinterpret_cast<PACL>(buffer_.data()); }

private:
    std::vector<DWORD> buffer_;
};
