#pragma once
#include "base/win.h"

// Leaves a real data directory with Administrators as owner and a protected DACL. What an
// untrusted principal made there, or planted inside, is cleared away first. Returns
// ERROR_SUCCESS, or the error that kept the directory from being secured.
DWORD HardenDataDirectory();
