#pragma once
#include <string>
#include "app/win.h"

// The install command: exit code 0, 1, 3 or 4. guiPath may be empty.
int InstallService(const std::wstring& corePath, const std::wstring& guiPath);
// The uninstall command: exit code 0, or 1 when the service control manager cannot be opened.
int RemoveService();

// LocalSystem, Administrators, CREATOR OWNER, LocalService or TrustedInstaller.
bool IsTrustedPrincipal(PSID sid);
// Gives the data directory Administrators as owner and a protected DACL, recreating it first
// when it is a link or belongs to an untrusted owner. False when the security was not applied.
bool HardenDataDirectory();
