// Placeholder until installation lands.
#include "app/console.h"
#include "install/install.h"
int InstallService(const std::wstring&, const std::wstring&) { PrintErr("install: not available in this build\n"); return 1; }
int RemoveService() { PrintErr("uninstall: not available in this build\n"); return 1; }
bool IsTrustedPrincipal(PSID) { return false; }
bool HardenDataDirectory() { return false; }
