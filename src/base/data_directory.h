#pragma once
// The data directory's own security, given in the call that creates it.
#include "base/handles.h"
#include "base/win.h"

// Owner, DACL and what to apply of them, for the data directory.
struct HardenedSecurity {
    BYTE owner[SECURITY_MAX_SID_SIZE];
    UniqueLocal dacl;
    SECURITY_INFORMATION information;
    SECURITY_DESCRIPTOR descriptor;  // owner and DACL above, for creating the directory
};

// BUILTIN\Administrators as owner and a protected DACL built from nothing: LocalSystem and
// Administrators full control, Users read and execute, each inherited by files and folders.
// Returns ERROR_SUCCESS or the error of the SID or ACL building that failed.
DWORD BuildHardenedSecurity(HardenedSecurity& security);

// Whether a directory's DACL is the hardened one: protected, and granting each SID what the
// hardened DACL grants it, on the directory and to what is created inside, no more and no less.
// The system may store an inheritable entry with generic rights as two (the rights mapped for the
// directory, the generic ones inherit-only); that counts as the same. No DACL is not it.
bool HasHardenedDacl(PSECURITY_DESCRIPTOR descriptor);

// Creates the data directory, when it is missing, with that owner and DACL. The service and the
// console create it too; made with ProgramData's inherited ACL it would let users add entries.
// Not created at all when the security cannot be built; whoever writes there next finds out.
void CreateDataDirectory();
