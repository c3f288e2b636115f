#pragma once
#include <string>
#include "base/win.h"

// Exit codes of the install command.
constexpr int kExitInstalled = 0;
// A platform failure, or a data directory that cannot be secured.
constexpr int kExitPlatformFailure = 1;
// A place on a program's path that an untrusted principal may change.
constexpr int kExitWritableDirectory = 3;
constexpr int kExitOldServiceRunning = 4;

// The install command: one of the exit codes above. guiPath may be empty.
int InstallService(const std::wstring& corePath, const std::wstring& guiPath);

// Restart after 5, 30 and 60 s; the count of failures starts again after an hour without one.
// The flag makes a stop with a non-zero exit code count as a failure too: the loop reports a
// lost port or listener that way, and the service must not stay down after it.
struct FailureActions {
    SC_ACTION actions[3];
    SERVICE_FAILURE_ACTIONSW record;
    SERVICE_FAILURE_ACTIONS_FLAG flag;
};
void BuildFailureActions(FailureActions& failure);
