#pragma once
#include "app/win.h"

// Sleeps 500 ms and queries, at most maxQueries times. True when the service reached
// SERVICE_STOPPED or a query failed; false when the last query still saw it in another state.
bool WaitForServiceStop(SC_HANDLE service, int maxQueries);
