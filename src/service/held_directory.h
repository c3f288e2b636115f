#pragma once
#include "base/handles.h"

// Opens the data directory itself, not through a link, and holds it so that it can be neither
// renamed nor deleted while the service runs. What stands there and is not a real directory
// owned by a trusted principal or by the service's own account is cleared away and the
// directory is made anew, hardened. ERROR_SUCCESS, or the error that kept it from being secured.
DWORD HoldDataDirectory(UniqueHandle& held);
