#pragma once
// Who counts as trusted: as a principal in an ACL, and as the owner of what a LocalSystem service
// keeps.
#include <vector>
#include "base/win.h"

// LocalSystem, Administrators, CREATOR OWNER, LocalService or TrustedInstaller.
bool IsTrustedPrincipal(PSID sid);

// An owner that may keep what it owns: LocalSystem, Administrators or TrustedInstaller. CREATOR
// OWNER only ever stands for another owner, and LocalService is shared by many services, none of
// which may decide what a LocalSystem service trusts. No owner is not trusted.
bool IsTrustedOwner(PSID owner);

// The owner SID of an open entry (opened with READ_CONTROL); empty when it cannot be read.
std::vector<BYTE> OwnerOf(HANDLE entry);
