#pragma once
// The ACL side of installation: who counts as trusted, whether an ACL lets anyone else write,
// and the security the data directory receives. Separate from the file system so the decisions
// can be checked on ACLs built in memory.
#include <string>
#include "app/handles.h"
#include "app/win.h"

// Access bits of an allowed entry that let its trustee plant or swap files: add file, add
// subdirectory, write attributes, delete, write DAC, write owner, generic all, generic write.
// FILE_WRITE_EA and FILE_DELETE_CHILD are deliberately not in it.
constexpr ACCESS_MASK kWriteAccessMask = 0x500D0106;

// True when an access-allowed entry with a write bit names an untrusted SID. Entry flags and
// deny entries are not looked at. A null DACL grants everyone everything, so it is writable too.
bool DaclGrantsUntrustedWrite(PACL dacl);

// Reads the DACL of a file or directory and applies DaclGrantsUntrustedWrite. Fails closed: a
// path whose DACL cannot be read (missing, access refused) counts as writable.
bool PathGrantsUntrustedWrite(const std::wstring& path);

// The text before the last backslash, or the whole path when it has none ('/' does not count).
std::wstring DirectoryOfPath(const std::wstring& path);

// Owner, DACL and what to apply of them, for the data directory.
struct HardenedSecurity {
    BYTE owner[SECURITY_MAX_SID_SIZE];
    UniqueLocal dacl;
    SECURITY_INFORMATION information;
};

// BUILTIN\Administrators as owner and a protected DACL built from nothing: LocalSystem and
// Administrators full control, Users read and execute, each inherited by files and folders.
// Returns ERROR_SUCCESS or the error of the SID or ACL building that failed.
DWORD BuildHardenedSecurity(HardenedSecurity& security);
