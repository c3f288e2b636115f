#pragma once
#include <string>
#include "app/win.h"

int InstallService(const std::wstring& corePath, const std::wstring& guiPath);
int RemoveService();

bool IsTrustedPrincipal(PSID sid);
bool HardenDataDirectory();
