#pragma once

constexpr int kExitRemoved = 0;
constexpr int kExitNoManager = 1;

// The uninstall command: kExitRemoved, or kExitNoManager when the service control manager
// cannot be opened.
int RemoveService();
