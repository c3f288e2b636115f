#pragma once
#include <string>
#include "app/win.h"

// The install command: exit code 0, 1, 3 or 4. guiPath may be empty.
int InstallService(const std::wstring& corePath, const std::wstring& guiPath);
// The uninstall command: exit code 0, or 1 when the service control manager cannot be opened.
int RemoveService();

// Leaves a real data directory with Administrators as owner and a protected DACL. What an
// untrusted principal made there, or planted inside, is cleared away first. Returns
// ERROR_SUCCESS, or the error that kept the directory from being secured.
DWORD HardenDataDirectory();

// Restart after 5, 30 and 60 s; the count of failures starts again after an hour without one.
// The flag makes a stop with a non-zero exit code count as a failure too: the loop reports a
// lost port or listener that way, and the service must not stay down after it.
struct FailureActions {
    SC_ACTION actions[3];
    SERVICE_FAILURE_ACTIONSW record;
    SERVICE_FAILURE_ACTIONS_FLAG flag;
};
void BuildFailureActions(FailureActions& failure);
